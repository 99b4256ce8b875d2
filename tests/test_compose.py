import math

import numpy as np
import pytest

import kelvara
from conftest import FREQS, omega, parallel

R, C = kelvara.R, kelvara.C


def zc(c):
    return 1 / (1j * omega(FREQS) * c)


def test_series_of_element_and_parallel():
    c = kelvara.Series([R(1.0), kelvara.Parallel([R(2.0), C(1e-3)])])
    assert c.param_names() == ["R0.r", "R1.r", "C0.c"]
    assert c.param_values() == [1.0, 2.0, 0.001]
    np.testing.assert_allclose(c.impedance(FREQS), 1 + parallel(2, zc(1e-3)), rtol=1e-12)


def test_series_splices_circuit_nodes():
    c = kelvara.Series([kelvara.Circuit("R0-C1").with_values([2, 1e-4]), R(5.0)])
    assert c.param_names() == ["R0.r", "C1.c", "R0.r"]
    np.testing.assert_allclose(c.impedance(FREQS), 7 + zc(1e-4), rtol=1e-12)
    # splicing: the circuit's nodes become top-level nodes, so wrapping in Parallel sees three
    assert kelvara.Series([kelvara.Circuit("(R1,C1)"), kelvara.Circuit("R2")]).param_names() == [
        "R1.r", "C1.c", "R2.r"
    ]


def test_parallel_branches_keep_circuits_whole():
    c = kelvara.Parallel([kelvara.Circuit("R0-C1").with_values([2, 1e-4]), R(3.0)])
    assert c.param_names() == ["R0.r", "C1.c", "R0.r"]
    np.testing.assert_allclose(c.impedance(FREQS), parallel(2 + zc(1e-4), 3), rtol=1e-12)


def test_inputs_are_copied_not_changed():
    src = kelvara.Circuit("R0-C1")
    r = R(4.0)
    c = kelvara.Series(parts=[src, r]).with_values([1, 2, 3])
    assert src.param_values() == [1.0, 0.001] and r.r == 4.0
    assert c.param_values() == [1.0, 2.0, 3.0]
    p = kelvara.Parallel(parts=(r, r))
    np.testing.assert_allclose(p.impedance(FREQS), np.full(len(FREQS), 2.0), rtol=1e-14)


def test_empty_compositions():
    s = kelvara.Series([])
    assert s.param_names() == [] and s.param_values() == []
    z = s.impedance(FREQS)
    assert np.all(z == 0)
    p = kelvara.Parallel([])
    assert p.param_names() == []
    z = p.impedance([1.0, 10.0])
    assert np.all(np.isnan(z.real)) and np.all(np.isnan(z.imag))


def test_zero_branch_makes_group_nan():
    z = kelvara.Parallel([R(0.0), R(1.0)]).impedance([1.0])
    assert math.isnan(z[0].real)


@pytest.mark.parametrize("fn", [kelvara.Series, kelvara.Parallel])
@pytest.mark.parametrize("parts,start", [
    ([R(1), 1.0], "argument 'parts': failed to extract enum Part"),
    (["R0"], "argument 'parts': failed to extract enum Part"),
    ([kelvara.Element], "argument 'parts': failed to extract enum Part"),
    ("R0", "argument 'parts': Can't extract `str` to `Vec`"),
    (5, "argument 'parts': 'int' object cannot be converted to 'Sequence'"),
])
def test_bad_parts(fn, parts, start):
    with pytest.raises(TypeError) as ei:
        fn(parts)
    assert str(ei.value).startswith(start)


def test_composition_signatures():
    assert kelvara.Series.__text_signature__ == "(parts)"
    assert kelvara.Parallel.__text_signature__ == "(parts)"
    assert kelvara.Series.__doc__ == "Connect elements and circuits end to end."
    assert kelvara.Parallel.__doc__ == "Connect elements and circuits as parallel branches."


def test_deep_parallel_nesting_is_refused():
    part = R(1.0)
    with pytest.raises(ValueError, match="nested more than 100 levels deep"):
        for _ in range(150):
            part = kelvara.Parallel([part])


def test_deep_parallel_within_limit_evaluates():
    part, ref = R(2.0), 2.0
    for _ in range(50):
        part, ref = kelvara.Parallel([part, R(1e3)]), 1 / (1 / ref + 1e-3)
    np.testing.assert_allclose(part.impedance([1.0]), [ref], rtol=1e-12)


@pytest.mark.parametrize("circuit", [
    kelvara.Circuit("R0-p(R1,C1)"),
    kelvara.Circuit("L0-R0-(R1,CPE1)-(R2-Wo2,CPE2)"),
    kelvara.Circuit("randles"),
    kelvara.Circuit("R0-p(R1-p(R2,C2),C1)-K3-Zarc4"),
    kelvara.Series([kelvara.R(1.0), kelvara.Parallel([kelvara.Series([kelvara.R(2.0), kelvara.W(0.5)]),
                                                      kelvara.Cpe(1e-4, 0.8)]), kelvara.Circuit("R0-p(R1,C1)")]),
])
def test_notation_parses_back_to_the_same_circuit(circuit):
    again = kelvara.Circuit(circuit.notation).with_values(circuit.param_values())
    assert len(again.param_names()) == len(circuit.param_names())
    assert again.param_units() == circuit.param_units()
    f = np.logspace(-2, 5, 15)
    np.testing.assert_array_equal(again.impedance(f), circuit.impedance(f))
