"""Circuit.residuals() and Circuit.jacobian() against the NumPy reference models."""

import math
import threading

import numpy as np
import pytest

import kelvara
from reference_models import TWO_PI, capacitor, omega, randles, rc, with_inductor

CBRT_EPS = np.cbrt(2.0**-52)


MODELS = {
    "randles": ("R0-(R1-W1,CPE1)", randles, [0.1, 2.0, 0.5, 1e-4, 0.85]),
    "inductive-rc": ("L0-R0-(R1,C1)", with_inductor(rc), [2e-6, 0.05, 1.3, 3e-3]),
    "havriliak-negami": ("R0-H1", lambda f, r0, r, tau, a, b: r0 + r / (1 + (1j * omega(f) * tau) ** a) ** b,
                         [0.1, 2.0, 1e-3, 0.7, 0.75]),
}


def weights(z, weight):
    if weight == "unit":
        return np.ones(len(z))
    m = np.hypot(z.real, z.imag)
    return np.where(np.isnan(m), 1e-30, np.maximum(m, 1e-30))


def expected_residuals(model, p, f, z, weight):
    z = np.asarray(z, dtype=complex)
    with np.errstate(all="ignore"):
        d = (model(f, *p) - z) / weights(z, weight)
    out = np.empty(2 * len(z))
    out[0::2], out[1::2] = d.real, d.imag
    return out


def central_difference(model, p, f, z, weight):
    cols = []
    for j, value in enumerate(p):
        h = CBRT_EPS * max(abs(value), 1e-8)
        up, down = list(p), list(p)
        up[j], down[j] = value + h, value - h
        cols.append((expected_residuals(model, up, f, z, weight) - expected_residuals(model, down, f, z, weight)) / (2 * h))
    return np.array(cols).T


def spectrum(model, p, n, seed=0, noise=0.05):
    """Frequencies from 100 kHz to 10 mHz and impedances of `model` at `p` with relative noise."""
    rng = np.random.default_rng(seed)
    f = np.logspace(5, -2, n)
    z = model(f, *p) * (1 + noise * (rng.standard_normal(n) + 1j * rng.standard_normal(n)))
    return f, z


def perturbed(p, factor=1.1):
    """Parameters moved away from `p` but still inside their bounds (exponents stay below 1)."""
    return [v * factor if i % 2 == 0 else v / factor for i, v in enumerate(p)]


@pytest.mark.parametrize("name", MODELS)
@pytest.mark.parametrize("weight", ["modulus", "unit"])
@pytest.mark.parametrize("n", [1, 7, 60, 2500])
def test_residuals_match_numpy_model(name, weight, n):
    notation, model, p = MODELS[name]
    f, z = spectrum(model, p, n, seed=n)
    q = perturbed(p)
    r = kelvara.Circuit(notation).residuals(q, list(f), list(z), weight=weight)
    assert type(r) is list and len(r) == 2 * n and all(type(x) is float for x in r)
    ref = expected_residuals(model, q, f, z, weight)
    np.testing.assert_allclose(r, ref, rtol=1e-11, atol=1e-13 * np.abs(ref).max())


def test_default_weight_and_keywords():
    notation, model, p = MODELS["randles"]
    circuit = kelvara.Circuit(notation)
    f, z = spectrum(model, p, 9)
    by_keyword = circuit.residuals(impedances=z, weight="modulus", frequencies=f, params=p)
    assert circuit.residuals(p, f, z) == by_keyword
    assert circuit.jacobian(p, f, z) == circuit.jacobian(params=p, frequencies=f, impedances=z, weight="modulus")
    assert circuit.residuals(p, f, z, "unit") == circuit.residuals(p, f, z, weight="unit") != by_keyword


def test_stored_values_are_ignored():
    notation, model, p = MODELS["randles"]
    f, z = spectrum(model, p, 12)
    plain = kelvara.Circuit(notation)
    assert plain.with_values(perturbed(p, 3.0)).residuals(p, f, z) == plain.residuals(p, f, z)


def test_modulus_weights_special_measurements():
    notation, model, p = MODELS["randles"]
    f = [1.0, 10.0, 100.0, 1e3, 1e4]
    z = [0j, complex(math.nan, 0.0), 1e200 + 1e200j, -3 - 4j, complex(0.0, -0.0)]
    r = np.array(kelvara.Circuit(notation).residuals(p, f, z))
    zm = model(f, *p)
    assert r[0] == pytest.approx(zm[0].real * 1e30, rel=1e-12)  # floor 1e-30, not a division by zero
    assert r[1] == pytest.approx(zm[0].imag * 1e30, rel=1e-12)
    assert math.isnan(r[2]) and r[3] == pytest.approx(zm[1].imag * 1e30, rel=1e-12)  # NaN modulus -> floor
    np.testing.assert_allclose(r[4:6], [-1 / math.sqrt(2)] * 2, rtol=1e-12)  # modulus without overflow
    np.testing.assert_allclose(r[6:8], [(zm[3].real + 3) / 5, (zm[3].imag + 4) / 5], rtol=1e-12)
    np.testing.assert_allclose(r[8:], [zm[4].real * 1e30, zm[4].imag * 1e30], rtol=1e-12)


@pytest.mark.parametrize("name", MODELS)
@pytest.mark.parametrize("weight", ["modulus", "unit"])
@pytest.mark.parametrize("n", [1, 60, 1500])
def test_jacobian_matches_central_difference(name, weight, n):
    notation, model, p = MODELS[name]
    f, z = spectrum(model, p, n, seed=3)
    q = perturbed(p, 0.8)
    jac = kelvara.Circuit(notation).jacobian(q, f, z, weight=weight)
    assert type(jac) is list and len(jac) == 2 * n
    assert all(type(row) is list and len(row) == len(p) and all(type(x) is float for x in row) for row in jac)
    ref = central_difference(model, q, f, z, weight)
    scale = np.abs(ref).max(axis=0)  # columns differ by orders of magnitude
    np.testing.assert_allclose(np.array(jac) / scale, ref / scale, rtol=1e-6, atol=1e-9)
    assert kelvara.Circuit(notation).jacobian(q, f, z, weight=weight) == jac  # same columns, same order


@pytest.mark.parametrize("c", [0.0, 1e-12, 3e-10, -2e-11])
def test_jacobian_step_floor_for_small_values(c):
    # 1/(j w c) is steep near 0: the difference quotient shows which step was taken
    f, z = [0.5, 3.0], [1.0 + 0j, 2.0 - 1j]
    jac = np.array(kelvara.Circuit("C0").jacobian([c], f, z, weight="unit"))
    ref = central_difference(lambda f, c: capacitor(c, omega(f)), [c], f, z, "unit")
    np.testing.assert_allclose(jac, ref, rtol=1e-9, atol=1e-30)
    if c == 0.0:
        h = CBRT_EPS * 1e-8
        np.testing.assert_allclose(jac[1::2, 0], -1 / (TWO_PI * np.array(f) * h * h), rtol=1e-9)


def test_extra_params_are_ignored_and_their_columns_zero():
    notation, model, p = MODELS["randles"]
    circuit = kelvara.Circuit(notation)
    f, z = spectrum(model, p, 30)
    longer = p + [123.0, -4.0, math.nan]
    assert circuit.residuals(longer, f, z) == circuit.residuals(p, f, z)
    jac = np.array(circuit.jacobian(longer, f, z))
    assert jac.shape == (60, 8)
    np.testing.assert_array_equal(jac[:, :5], circuit.jacobian(p, f, z))
    assert np.all(jac[:, 5:] == 0.0)


@pytest.mark.parametrize("method", ["residuals", "jacobian"])
@pytest.mark.parametrize("notation,count,given", [
    ("R0-(R1-W1,CPE1)", 5, 0), ("R0-(R1-W1,CPE1)", 5, 4), ("L0-R0-(R1,C1)", 4, 1), ("R0", 1, 0),
])
def test_short_params_are_refused(method, notation, count, given):
    if method == "jacobian" and given == 0:  # no columns asked for: nothing to evaluate
        assert kelvara.Circuit(notation).jacobian([], [1.0, 2.0], [1.0, 2.0]) == []
        return
    with pytest.raises(ValueError) as ei:
        getattr(kelvara.Circuit(notation), method)([1.0] * given, [1.0, 2.0], [1.0, 2.0])
    assert str(ei.value) == f"params has {given} values, but the circuit has {count} parameters"


def test_circuit_without_parameters():
    empty = kelvara.Series([])
    f, z = [1.0, 10.0], [3 - 4j, 1 + 0j]
    assert empty.jacobian([], f, z) == []
    assert empty.residuals([], f, z, weight="unit") == [-3.0, 4.0, -1.0, 0.0]
    assert empty.residuals([], f, z) == [-0.6, 0.8, -1.0, 0.0]
    assert empty.jacobian([2.0], f, z) == [[0.0]] * 4


@pytest.mark.parametrize("params", [[], [0.1, 2.0, 0.5, 1e-4, 0.85]])
def test_empty_spectrum(params):
    circuit = kelvara.Circuit("R0-(R1-W1,CPE1)")
    assert circuit.residuals(params + [0.0] * 5, [], []) == []
    assert circuit.jacobian(params + [0.0] * 5, np.array([]), np.array([], dtype=complex)) == []


def test_concurrent_calls_agree_with_sequential_ones():
    notation, model, p = MODELS["randles"]
    circuit = kelvara.Circuit(notation)
    f, z = spectrum(model, p, 400)
    expected_r, expected_j = circuit.residuals(p, f, z), circuit.jacobian(p, f, z)
    results, errors = [], []

    def work():
        try:
            for _ in range(5):
                results.append(circuit.residuals(p, f, z) == expected_r and circuit.jacobian(p, f, z) == expected_j)
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert not errors and results == [True] * 20


@pytest.mark.parametrize("weight", ["modulus", "unit"])
def test_least_squares_recovers_randles_parameters(weight):
    optimize = pytest.importorskip("scipy.optimize")
    notation, model, truth = MODELS["randles"]
    circuit = kelvara.Circuit(notation)
    f = np.logspace(5, -2, 60)
    z = model(f, *truth)
    start = [0.15, 1.4, 0.8, 3e-4, 0.7]
    lower = [1e-9] * 5
    upper = [np.inf, np.inf, np.inf, np.inf, 1.0]
    fit = optimize.least_squares(
        lambda p: circuit.residuals(p, f, z, weight=weight), start,
        jac=lambda p: circuit.jacobian(p, f, z, weight=weight),
        bounds=(lower, upper), x_scale="jac", ftol=1e-15, xtol=1e-15, gtol=1e-15, max_nfev=2000,
    )
    np.testing.assert_allclose(fit.x, truth, rtol=1e-6)
    assert fit.cost < 1e-20


def test_signatures_and_docstrings():
    signature = '($self, params, frequencies, impedances=None, weight="modulus")'
    assert kelvara.Circuit.residuals.__text_signature__ == signature
    assert kelvara.Circuit.jacobian.__text_signature__ == signature
    assert kelvara.Circuit.residuals.__doc__ == (
        "Weighted residual vector (interleaved `[re0, im0, re1, im1, ...]`) for an\n"
        "arbitrary parameter vector -- the same building block `fit()` uses\n"
        "internally for Levenberg-Marquardt, exposed so an external optimizer (e.g.\n"
        "`scipy.optimize.least_squares`) can drive this circuit's math directly."
    )
    assert kelvara.Circuit.jacobian.__doc__ == (
        "Central-difference Jacobian of `residuals()` at `params`, shape `(2 *\n"
        "len(frequencies), len(params))` -- rows are residuals, columns are\n"
        "parameters, matching what `scipy.optimize.least_squares(jac=...)` expects."
    )

