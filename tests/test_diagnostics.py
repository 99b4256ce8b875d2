"""Fit statistics, flags and verdicts, and choosing the circuit (compare/select)."""

import json
import math
import pickle

import numpy as np
import pytest

import kelvara
from kelvara.diagnostics import Flag, noise_level, relative_misfit, verdict_of

F = np.logspace(5, -2, 60)
TWO_ARCS = ("R0-(R1,CPE1)-(R2,CPE2)", [10, 50, 1e-4, 0.85, 100, 1e-2, 0.8])


def noisy(notation, values, noise=0.005, seed=0, f=F):
    rng = np.random.default_rng(seed)
    z = kelvara.Circuit(notation).with_values(values).impedance(f)
    return z * (1 + noise * (rng.standard_normal(len(f)) + 1j * rng.standard_normal(len(f))))


@pytest.fixture(scope="module")
def two_arcs():
    return noisy(*TWO_ARCS)


@pytest.mark.parametrize("notation", ["two_rq", "R0-(R1,CPE1)"])
def test_statistics_follow_the_textbook_formulas(two_arcs, notation):
    result = kelvara.Circuit(notation).fit(F, two_arcs)
    circuit = kelvara.Circuit(notation)
    # Independent reference: residuals recomputed here with modulus weights, J by scipy.
    from scipy.optimize._numdiff import approx_derivative

    def residuals(p):
        d = (circuit.with_values(list(p)).impedance(F) - two_arcs) / np.abs(two_arcs)
        return np.concatenate([d.real, d.imag])

    p = np.array([result.params[n] for n in circuit.param_names()])
    chi2, n, k = float(np.sum(residuals(p) ** 2)), 2 * len(F), len(p)
    assert result.chi_square == pytest.approx(chi2, rel=1e-9)
    assert (result.n_points, result.n_free) == (len(F), k)
    assert result.reduced_chi_square == pytest.approx(chi2 / (n - k), rel=1e-9)
    assert result.misfit == pytest.approx(math.sqrt(chi2 / n), rel=1e-9)
    assert result.aic == pytest.approx(n * math.log(chi2 / n) + 2 * k, rel=1e-9)
    assert result.aicc == pytest.approx(result.aic + 2 * k * (k + 1) / (n - k - 1), rel=1e-9)
    assert result.bic == pytest.approx(n * math.log(chi2 / n) + k * math.log(n), rel=1e-9)
    jac = approx_derivative(residuals, p, rel_step=1e-6)
    covariance = np.linalg.inv(jac.T @ jac) * chi2 / (n - k)
    names = circuit.param_names()
    got = np.array([[result.covariance[a][b] for b in names] for a in names])
    np.testing.assert_allclose(got, covariance, rtol=2e-2, atol=1e-3 * np.abs(covariance).max())
    sd = np.sqrt(np.diag(covariance))
    corr = np.array([[result.correlation[a][b] for b in names] for a in names])
    np.testing.assert_allclose(corr, covariance / np.outer(sd, sd), atol=2e-2)


def test_fixed_parameters_stay_out_of_the_matrices(two_arcs):
    result = kelvara.Circuit("two_rq").with_fixed({"R0.r": 10.0}).fit(F, two_arcs)
    assert result.n_free == 6 and "R0.r" not in result.covariance
    assert set(result.correlation) == set(kelvara.Circuit("two_rq").param_names()) - {"R0.r"}


def test_clean_fit_has_no_flags_and_round_trips(two_arcs):
    result = kelvara.Circuit("two_rq").fit(F, two_arcs)
    assert result.flags == [] and result.verdict == "clean"
    d = json.loads(json.dumps(result.to_dict()))
    assert d["flags"] == [] and d["verdict"] == "clean" and d["aicc"] == result.aicc
    assert d["covariance"] == result.covariance
    back = pickle.loads(pickle.dumps(result))
    assert (back.aic, back.correlation, back.flags) == (result.aic, result.correlation, [])
    assert "verdict: clean" in result.table()


def test_results_pickled_without_statistics_still_restore(two_arcs):
    result = kelvara.Circuit("rq").fit(F, two_arcs)
    function, (state,) = result.__reduce__()
    old = function(state[:12])  # the state earlier versions wrote
    assert old.params == result.params and math.isnan(old.aic) and old.covariance is None


@pytest.mark.parametrize("notation, codes", [
    ("rq", {"misfit", "structure"}),  # one arc for two
    ("sei_randles", {"undetermined"}),  # a Warburg the data do not have
    ("two_rq_l", {"at_bound", "undetermined"}),  # an inductance the data do not have
])
def test_wrong_circuits_raise_the_right_flags(two_arcs, notation, codes):
    result = kelvara.Circuit(notation).fit(F, two_arcs)
    assert codes <= {flag.code for flag in result.flags}
    assert result.verdict != "clean"
    assert all(isinstance(flag, Flag) and flag.text for flag in result.flags)


def test_a_parameter_on_a_bound_has_no_correlation_flags():
    # One RC arc fitted with two CPE arcs and an inductance: parameters end on their
    # bounds (L0.l on its floor, or an exponent at 1), where the matrix, which treats them
    # as free, correlates them with others (L0.l with CPE2.q at +0.99999). Which ones
    # depends on the last bits of the arithmetic (an optimised or a sanitised build).
    result = kelvara.Circuit("two_rq_l").fit(F, noisy("R0-(R1,C1)", [10, 100, 1e-5]))
    bounded = {flag.text.split(" = ")[0] for flag in result.flags if flag.code == "at_bound"}
    assert bounded
    assert not [flag for flag in result.flags if flag.code == "correlated" and any(b in flag.text for b in bounded)]


def test_runaway_parameter_is_flagged():
    # A pure arc fitted with a series resistance the data cannot hold apart from R1.
    z = noisy("R0-(R1,C1)", [1e-3, 100, 1e-5])
    result = kelvara.Circuit("R0-(R1,C1)-(R2,C2)").with_values([1, 50, 1e-5, 50, 1e-3]).fit(F, z)
    assert result.flags and result.verdict in ("unreliable", "suspect")


@pytest.mark.parametrize("notation, values", [
    ("R0-(R1,C1)", [10, 100, 1e-5]), TWO_ARCS, ("randles", [10, 100, 30, 1e-5, 0.9])])
@pytest.mark.parametrize("noise", [0.005, 0.02])
def test_noise_level_finds_the_scatter_of_the_data(notation, values, noise):
    # complex scatter of sd noise*|Z| in each part; the estimate is per part
    estimates = [noise_level(F, noisy(notation, values, noise, seed)) for seed in range(8)]
    assert np.mean(estimates) == pytest.approx(noise, rel=0.15)
    # without scatter only the grid's own error is left: below the misfit flag's 0.2 % floor
    assert noise_level(F, kelvara.Circuit(notation).with_values(values).impedance(F)) < 0.0015


def gerischer(f):
    return 20 + 20 / np.sqrt(1 + 2j * np.pi * f * 1e-2)


def de_levie(f):  # a finite pore with an RC interface: sqrt(R_ion Z_q) coth(sqrt(R_ion / Z_q))
    zq = 100 / (1 + 2j * np.pi * f * 0.1)
    return 10 + np.sqrt(20 * zq) / np.tanh(np.sqrt(20 / zq))


@pytest.mark.parametrize("truth, f, noise, candidate", [
    (gerischer, np.logspace(4, -1, 51), 0.01, "rq"),
    (de_levie, np.logspace(4, -2, 49), 0.005, "two_rq"),
])
def test_a_wrong_circuit_at_one_and_a_half_times_the_noise_is_flagged(truth, f, noise, candidate):
    rng = np.random.default_rng(0)
    z = truth(f) * (1 + noise * (rng.standard_normal(f.size) + 1j * rng.standard_normal(f.size)))
    result = kelvara.Circuit(candidate).fit(f, z)
    fitted = result.circuit.impedance(f)
    ratio = np.sqrt(np.mean(np.abs((fitted - z) / np.abs(z)) ** 2) / 2) / noise
    assert 1.3 < ratio < 1.6
    assert "misfit" in {flag.code for flag in result.flags}


@pytest.mark.parametrize("notation, values, f, seed", [
    # sparse sweeps whose misfit is 1.11-1.16 times the noise estimate: the fit takes 3 or
    # 7 of 34 or 42 residuals' worth of the noise and the ratio spreads widely
    ("R0-p(R1,C1)", [10, 100, 1e-4], np.logspace(3, -1, 17), 7),
    ("R0-p(R1,C1)", [10, 100, 1e-4], np.logspace(3, -1, 17), 13),
    ("R0-p(R1,CPE1)-p(R2,CPE2)", [10, 50, 1e-4, 0.85, 100, 1e-2, 0.8], np.logspace(4, -1, 21), 2),
    ("R0-p(R1,CPE1)-p(R2,CPE2)", [10, 50, 1e-4, 0.85, 100, 1e-2, 0.8], np.logspace(4, -1, 21), 6),
])
def test_the_right_circuit_on_a_sparse_sweep_is_clean(notation, values, f, seed):
    result = kelvara.Circuit(notation).with_values(values).fit(f, noisy(notation, values, 0.01, seed, f))
    assert result.flags == []


@pytest.mark.parametrize("f, z", [(F[:4], np.ones(4)), (F, np.zeros(F.size)), (-F, np.ones(F.size)),
                                  (F, np.full(F.size, np.nan))])
def test_noise_level_is_none_where_the_fit_cannot_run(f, z):
    assert noise_level(f, z) is None


@pytest.mark.parametrize("codes, verdict", [
    ([], "clean"), (["correlated"], "suspect"), (["misfit", "at_bound"], "unreliable"),
    (["not_converged", "misfit"], "failed"),
])
def test_verdict_is_the_worst_flag(codes, verdict):
    assert verdict_of([Flag(code, "") for code in codes]) == verdict


@pytest.mark.parametrize("truth, values", [
    ("rc", [10, 100, 1e-5]),
    ("two_rq", TWO_ARCS[1]),
    ("randles", [10, 100, 30, 1e-5, 0.9]),
    ("sei_randles_wo", [5, 60, 1e-4**0.85 / 60, 0.85, 100, 400, 1.0, 1e-2**0.8 / 100, 0.8]),
])
def test_select_finds_the_true_topology(truth, values):
    z = noisy(kelvara.Circuit(truth).notation, values, seed=3)
    ranking = kelvara.select(F, z)
    assert ranking.best.circuit.notation == kelvara.Circuit(truth).notation
    assert ranking.best.verdict == "clean"
    assert len(ranking) + len(ranking.skipped) >= 11  # the trained topologies and the proposed ones
    assert kelvara.select(F, z).table() == ranking.table()  # the same on every run
    exhaustive = kelvara.select(F, z, early_stop=False)
    assert exhaustive.chosen.notation == ranking.chosen.notation and exhaustive.skipped == []
    weights = [row.weight for row in exhaustive]
    assert sum(weights) == pytest.approx(1.0) and weights == sorted(weights, reverse=True)
    bic = [row.bic for row in exhaustive]
    best = min(bic)
    for row in exhaustive:  # weights from the criterion (BIC for select), by formula
        expected = math.exp(-(row.bic - best) / 2) / sum(math.exp(-(b - best) / 2) for b in bic)
        assert row.weight == pytest.approx(expected, abs=1e-12)


def test_early_stop_waits_for_a_fit_at_the_noise_level():
    # One arc plus a second of about 1 % of its resistance: one arc is clean (its misfit,
    # 1.12 times the noise, under the flag's limit of 1.135 for 60 points and 4 free
    # parameters) but not at the noise level, so the stop must not take it.
    values = [10, 100, 1e-5**0.85 / 100, 0.85, 1.08, 0.1**0.8 / 1.08, 0.8]
    z = noisy("two_rq", values, seed=2)
    one_arc = kelvara.Circuit("rq").fit(F, z)
    assert one_arc.verdict == "clean"
    assert relative_misfit(one_arc) > 1.1 * noise_level(F, z)
    ranking = kelvara.select(F, z)
    assert ranking.chosen.notation != one_arc.circuit.notation
    assert ranking.chosen.notation == kelvara.select(F, z, early_stop=False).chosen.notation


@pytest.mark.parametrize("shift", [1.0, 1e-4])
def test_correlation_flag_does_not_depend_on_where_the_arcs_lie(shift):
    # The same spectrum shape four decades apart along the frequency axis: q is the
    # admittance at 1 rad/s, so q and alpha of an arc at 16 kHz correlate near -1
    # while the data determine both, and the flags must not tell the two apart.
    f = F * shift
    values = [10, 100, (1e-5 / shift) ** 0.9 / 100, 0.9, 80, (1e-2 / shift) ** 0.8 / 80, 0.8]
    result = kelvara.Circuit("two_rq").fit(f, noisy("two_rq", values, seed=1, f=f))
    if shift == 1.0:
        assert result.correlation["CPE1.q"]["CPE1.alpha"] < -0.99
    assert result.flags == []


def test_adding_an_element_never_ends_worse(two_arcs):
    ranking = kelvara.compare(F, two_arcs, candidates=["rq", "two_rq", "sei_randles", "sei_randles_wo", "two_rq_l"])
    cost = {row.circuit: row.chi_square for row in ranking}
    for bigger in ("sei_randles", "sei_randles_wo", "two_rq_l"):
        assert cost[bigger] <= cost["two_rq"] * (1 + 1e-6)
    assert cost["two_rq"] <= cost["rq"]
    frame = ranking.to_frame()
    assert list(frame["circuit"])[0] == ranking.ranked[0].circuit and "aicc" in frame and "flags" in frame
    assert "chosen" in ranking.table()


def test_compare_accepts_a_spectrum_and_names_bad_criteria(two_arcs):
    from kelvara.io import Spectrum

    measured = Spectrum(F, two_arcs, "CSV", ("f", "re", "im"), "x.csv")
    assert kelvara.compare(measured, candidates=["rq"]).best.circuit.notation == "R0-p(R1,CPE1)"
    with pytest.raises(ValueError, match="criterion"):
        kelvara.compare(F, two_arcs, candidates=["rq"], criterion="r2")
