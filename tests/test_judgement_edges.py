"""Judgement at the edges: exact fits, degenerate spectra, nothing to choose from."""

import warnings

import numpy as np
import pytest

import kelvara


def test_an_exact_fit_ranks_first_with_all_the_weight():
    f = np.logspace(4, -1, 20)
    z = np.full(20, 5.0 + 0j)  # a resistor: R0 fits to the last bit, AIC -inf
    ranking = kelvara.compare(f, z, candidates=["R0-L1", "R0"])
    assert [row.notation for row in ranking.ranked] == ["R0", "R0-L1"]
    assert ranking.ranked[0].weight == 1.0 and ranking.best.circuit.notation == "R0"
    assert kelvara.select(f, z, candidates=["R0-L1", "R0"]).best.circuit.notation == "R0"


def test_replicates_of_one_point_leave_a_two_parameter_circuit_undetermined():
    f = np.full(4, 10.0)
    z = np.full(4, 5.0 - 1.0j)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = kelvara.Circuit("R0-C1").fit(f, z)
    assert result.params["R0.r"] == pytest.approx(5.0)  # exact, yet nothing is known about its error
    assert result.verdict != "clean"
    assert any(flag.code == "undetermined" and "1 distinct frequency" in flag.text for flag in result.flags)


def test_select_with_an_empty_spectrum_raises():
    with pytest.raises(ValueError, match="empty"):
        kelvara.select([], [])


@pytest.mark.parametrize("call", [
    lambda f, z: kelvara.Circuit("R0-p(R1,C1)").with_values([1.0, 1.0, 1.0]).fit(f, z),
    lambda f, z: kelvara.Circuit("R0-p(R1,C1)").fit(f, z),
    lambda f, z: kelvara.fit_many(kelvara.Circuit("R0-p(R1,C1)").with_values([1.0, 1.0, 1.0]), [(f, z)]),
    lambda f, z: kelvara.compare(f, z, candidates=["R0-p(R1,C1)", "R0"]),
    lambda f, z: kelvara.select(f, z),
])
def test_a_zero_impedance_is_named_in_one_line(call):
    f = np.logspace(4, -1, 20)
    z = 10 + 100 / (1 + 1j * f / 10)
    z[5] = 0  # under the modulus weighting this one point would outweigh the rest by 30 decades
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(ValueError, match="impedance 5 is zero") as error:
            call(f, z)
    assert "\n" not in str(error.value)


def test_a_zero_impedance_fits_under_unit_weighting():
    f = np.logspace(4, -1, 20)
    z = 10 + 100 / (1 + 1j * f / 10)
    z[5] = 0
    result = kelvara.select(f, z, weight="unit", candidates=["R0-p(R1,C1)"])
    assert result.best.success


@pytest.mark.parametrize("bounds", [{"CPE1.q": (-1.0, 1.0)}, {"R0.r": (-1e308, 1e308)}, {"R1.r": (-np.inf, 5.0)},
                                    {"CPE1.alpha": (-0.1, 1.0)}])
def test_bounds_below_zero_are_refused(bounds):
    name = next(iter(bounds))
    with pytest.raises(ValueError, match=rf"{name.replace('.', '[.]')} cannot be negative"):
        kelvara.Circuit("R0-p(R1,CPE1)").with_bounds(bounds)


@pytest.mark.parametrize("method", ["particle_swarm", "differential_evolution"])
@pytest.mark.parametrize("bounds", [{"C1.c": (1e-300, 1e300)}, {"R0.r": (0.0, 1e300)}])
def test_a_box_a_swarm_cannot_search_is_refused_up_front(method, bounds):
    f = np.logspace(4, -1, 30)
    z = 10 + 100 / (1 + 1j * f / 10)
    circuit = kelvara.Circuit("R0-p(R1,C1)").with_values([5.0, 50.0, 1e-3]).with_bounds(bounds)
    with pytest.raises(ValueError, match="span more than 40 decades"):
        circuit.fit(f, z, method=method, seed=1)


def test_a_composed_circuit_with_repeated_labels_keeps_every_parameter_apart():
    half = kelvara.Circuit("R1-p(R2,C2)")
    circuit = kelvara.Series([half, half]).with_values([1.0, 10.0, 1e-3, 2.0, 20.0, 1e-2])
    assert circuit.param_names() == ["R1.r", "R2.r", "C2.c"] * 2  # as composed
    assert circuit.notation == "R1-p(R2,C2)-R3-p(R4,C3)"
    f = np.logspace(4, -1, 30)
    truth = {"R1.r": 1.0, "R2.r": 10.0, "C2.c": 1e-3, "R3.r": 2.0, "R4.r": 20.0, "C3.c": 1e-2}
    z = 3.0 + 10 / (1 + 1j * 2 * np.pi * f * 1e-2) + 20 / (1 + 1j * 2 * np.pi * f * 0.2)
    result = circuit.with_fixed({"R3.r": 2.0}).fit(f, z)  # the notation's own name addresses the second R1
    assert list(result.params) == list(truth) and list(result.to_dict()["params"]) == list(truth)
    assert result.params["R3.r"] == 2.0 and result.params["R1.r"] == pytest.approx(1.0, rel=1e-6)
    both = circuit.with_bounds({"R1.r": (0.5, 3.0)})  # a repeated name reaches every parameter of that name
    assert [b for b in both.param_bounds()][0] == (0.5, 3.0) == both.param_bounds()[3]


def test_fit_series_refuses_the_batch_options_of_fit_many_by_name():
    f = np.logspace(4, -1, 20)
    z = 10 + 100 / (1 + 1j * f / 10)
    with pytest.raises(TypeError, match="unexpected keyword argument 'errors': a series fit stops"):
        kelvara.fit_series(kelvara.Circuit("R0-p(R1,C1)"), [(f, z), (f, z)], errors="return")
