"""The networks carried in the module: every one loads and guesses its
own topology sensibly, and the module's inference agrees with the NumPy
forward pass of the training code on the very same weight files."""

import sys
from pathlib import Path

import numpy as np
import pytest

import kelvara

ROOT = Path(__file__).resolve().parents[1]
MODELS = ROOT / "models"

# Realistic values per registry circuit, time constants inside 1e-2 .. 1e5 Hz.
TRUE_VALUES = {
    "rc": [0.5, 5.0, 1e-4],
    "rc_l": [2e-6, 0.5, 5.0, 1e-4],
    "rq": [0.5, 5.0, 1e-4, 0.85],
    "rq_l": [2e-6, 0.5, 5.0, 1e-4, 0.85],
    "two_rc": [0.2, 1.0, 1e-5, 4.0, 1e-2],
    "two_rc_l": [1e-6, 0.2, 1.0, 1e-5, 4.0, 1e-2],
    "two_rq": [0.2, 1.0, 1e-5, 0.9, 4.0, 1e-2, 0.8],
    "two_rq_l": [1e-6, 0.2, 1.0, 1e-5, 0.9, 4.0, 1e-2, 0.8],
    "randles": [0.1, 2.0, 0.5, 1e-4, 0.85],
    "sei_randles": [0.05, 0.2, 1e-5, 0.9, 1.0, 0.3, 1e-3, 0.85],
    "sei_randles_wo": [0.05, 0.2, 1e-5, 0.9, 1.0, 2.0, 5.0, 1e-3, 0.85],
}

FREQUENCIES = np.logspace(5, -2, 64)


def spectrum(name):
    return kelvara.Circuit(name).with_values(TRUE_VALUES[name]).impedance(FREQUENCIES)


def test_every_registry_name_has_a_case():
    assert sorted(TRUE_VALUES) == sorted(kelvara.Circuit.ml_circuits())


@pytest.mark.parametrize("name", sorted(TRUE_VALUES))
def test_model_loads_and_guesses_its_own_topology(name):
    circuit = kelvara.Circuit(name)
    guess = np.array(circuit.guess(FREQUENCIES, spectrum(name)))
    truth = np.array(TRUE_VALUES[name])
    names = circuit.param_names()
    assert guess.shape == truth.shape
    assert np.all(np.isfinite(guess)) and np.all(guess > 0)
    for param, g, t in zip(names, guess, truth):
        if param.endswith(".alpha"):
            assert 0.05 <= g <= 1.0
        elif param.split(".")[1] in ("r", "c", "q"):
            assert abs(np.log10(g / t)) < 1.0, (param, g, t)
    # The guess is a starting point the fit gets to the truth from.
    fitted = circuit.fit(FREQUENCIES, spectrum(name))
    assert fitted.cost < 1e-12


@pytest.fixture(scope="module")
def reference():
    sys.path.insert(0, str(ROOT))
    try:
        from training import reference as module
    except ImportError as error:  # pragma: no cover - only without the training code
        pytest.skip(f"training code not importable: {error}")
    finally:
        sys.path.remove(str(ROOT))
    return module


@pytest.mark.parametrize("name", sorted(TRUE_VALUES))
def test_inference_agrees_with_the_training_forward_pass(name, reference):
    path = MODELS / f"{name}.eisnn"
    if not path.exists():
        pytest.skip("weights are built into the module from a checkout's models/")
    rng = np.random.default_rng(11)
    z = spectrum(name) * (1 + 0.01 * (rng.standard_normal(FREQUENCIES.size) + 1j * rng.standard_normal(FREQUENCIES.size)))
    expected = np.asarray(reference.predict(str(path), FREQUENCIES, z))
    ours = np.asarray(kelvara.Circuit(name).guess(FREQUENCIES, z))
    np.testing.assert_allclose(ours, expected, rtol=1e-6)
