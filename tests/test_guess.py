"""Guesses from the built-in networks on synthetic spectra of known circuits."""
import inspect
import math

import numpy as np
import pytest

import kelvara
from reference_models import (randles, rc, rq, sei_randles, sei_randles_wo, two_rc, two_rq,
                              with_inductor)
FREQS = np.logspace(-2, 5, 60)
NAMES = ["rc", "rc_l", "rq", "rq_l", "two_rc", "two_rc_l", "two_rq", "two_rq_l", "randles", "sei_randles",
         "sei_randles_wo"]
NO_MODEL = ("No training data on this circuit. Machine-learning based initial parameters available for "
            + ", ".join(f"'{n}'" for n in NAMES))
# How a built-in whose weights are not in this build reports itself.
NOT_BUILT = ('weight file has an unparsable value for "weight file is truncated"', "weight file is truncated")


# Model name: (true values in the circuit's parameter order, NumPy model of that circuit).
TRUTH = {
    "rc": ([1.0, 10.0, 1e-4], rc),
    "rc_l": ([1e-6, 0.5, 20.0, 1e-5], with_inductor(rc)),
    "rq": ([2.0, 50.0, 1e-4, 0.85], rq),
    "rq_l": ([5e-7, 0.2, 5.0, 1e-3, 0.9], with_inductor(rq)),
    "two_rc": ([1.0, 10.0, 1e-6, 30.0, 1e-2], two_rc),
    "two_rc_l": ([1e-6, 0.5, 5.0, 1e-5, 20.0, 5e-3], with_inductor(two_rc)),
    "two_rq": ([1.0, 10.0, 1e-5, 0.9, 40.0, 1e-2, 0.8], two_rq),
    "two_rq_l": ([1e-6, 1.0, 10.0, 1e-5, 0.9, 40.0, 1e-2, 0.8], with_inductor(two_rq)),
    "randles": ([1.0, 10.0, 5.0, 1e-5, 0.9], randles),
    "sei_randles": ([1.0, 5.0, 1e-5, 0.9, 20.0, 10.0, 1e-3, 0.8], sei_randles),
    "sei_randles_wo": ([1.0, 5.0, 1e-5, 0.9, 20.0, 30.0, 1.0, 1e-3, 0.8], sei_randles_wo),
}


def synthetic(name):
    values, model = TRUTH[name]
    return list(FREQS), list(model(FREQS, *values))


def guess_or_skip(circuit, f, z, model):
    try:
        return kelvara.Circuit(circuit).guess(f, z)
    except ValueError as e:
        if str(e) in NOT_BUILT:
            pytest.skip(f"built-in weights for {model} are not in this build")
        raise


def test_model_names():
    assert kelvara.Circuit.ml_circuits() == NAMES
    assert kelvara.Circuit("R0").ml_circuits() == NAMES


@pytest.mark.parametrize("name", NAMES)
def test_builtin_guess_is_close_to_the_truth(name):
    f, z = synthetic(name)
    got = guess_or_skip(name, f, z, name)
    names = kelvara.Circuit(name).param_names()
    truth = TRUTH[name][0]
    assert len(got) == len(names) == len(truth)
    assert all(isinstance(v, float) and math.isfinite(v) and v > 0 for v in got), got
    for pname, g, t in zip(names, got, truth):
        if pname.endswith(".alpha"):
            assert 0.05 <= g <= 1.0, (pname, g)
        if pname.endswith((".r", ".c")):
            assert abs(math.log10(g / t)) <= 1.0, f"{pname}: guessed {g}, true {t}"


@pytest.mark.parametrize(
    "circuit,model,expected",
    [
        ("(R1,C2)-R3", "rc", lambda v: [v[1], v[2], v[0]]),
        ("R5-p(C7,R7)", "rc", lambda v: [v[0], v[2], v[1]]),
        ("R0-K1", "rc", lambda v: [v[0], v[1], v[1] * v[2]]),
        ("R0-Zarc1", "rq", lambda v: [v[0], v[1], (v[1] * v[2]) ** (1 / v[3]), v[3]]),
        ("(CPE3,R3)-R9", "rq", lambda v: [v[2], v[3], v[1], v[0]]),
        ("R0-(R1-W1,CPE1)", "randles", lambda v: v),
    ],
)
def test_equivalent_topologies_use_the_same_network(circuit, model, expected):
    f, z = synthetic(model)
    base = guess_or_skip(model, f, z, model)
    got = guess_or_skip(circuit, f, z, model)
    np.testing.assert_allclose(got, expected(base), rtol=1e-13, atol=0)
    if circuit == "R0-Zarc1":
        assert 0.05 <= got[3] <= 1.0  # gamma is the clamped alpha


def test_guess_ignores_current_values_and_name_case():
    f, z = synthetic("rc")
    base = guess_or_skip("R0-(R1,C1)", f, z, "rc")
    assert kelvara.Circuit("R0-(R1,C1)").with_values([5.0, 6.0, 7e-3]).guess(f, z) == base
    assert kelvara.Circuit(" Rc\n").guess(f, z) == base
    assert kelvara.Circuit("rc").guess(np.array(f), np.array(z)) == base


def test_dataframe_input_drops_non_positive_frequencies():
    f, z = synthetic("rc")
    base = guess_or_skip("rc", f, z, "rc")
    frame = {"Frequency / Hz": [0.0] + f, "Real Impedance / ohm": [1.0] + [v.real for v in z],
             "imaginary_impedance_ohm": [-1.0] + [v.imag for v in z]}
    assert kelvara.Circuit("rc").guess(frame) == base


@pytest.mark.parametrize("circuit", ["R0-C1", "R0-K1-(R2,CPE2)", "R0-(R1,C1)-(R2,CPE2)", "Zarc1"])
@pytest.mark.parametrize("n", [0, 5])
def test_circuit_without_a_model(circuit, n):
    f, z = synthetic("rc")
    with pytest.raises(ValueError) as info:
        kelvara.Circuit(circuit).guess(f[:n], z[:n])
    assert str(info.value) == NO_MODEL


def test_signature_and_docstring():
    guess = kelvara.Circuit.guess
    assert guess.__text_signature__ == "($self, frequencies, impedances=None, weights=None)"
    assert str(inspect.signature(guess)) == "(self, /, frequencies, impedances=None, weights=None)"
    assert guess.__doc__ == (
        "Machine-learning guess of starting parameters for this circuit's\n"
        "topology, in `param_names()` order.\n"
        "\n"
        "Series and parallel elements may be written with any order and labels:\n"
        "`(R1,C2)-R3` uses the same model as `R0-(R1,C1)`. `K` and `Zarc` reach\n"
        "the models trained on the pairs they abbreviate, so `R0-Zarc1` uses the\n"
        "`R0-(R1,CPE1)` model and gets its guess back as `r`, `tau_k`, `gamma`.\n"
        "\n"
        "`weights` loads a `.eisnn` file from disk instead of looking for a\n"
        "bundled model.\n"
        "\n"
        "Raises if no model has been trained for this topology, or if `weights`\n"
        "was trained for a different one."
    )
