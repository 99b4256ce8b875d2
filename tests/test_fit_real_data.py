"""Circuit.fit() on measured spectra (impedance.py's example data), against scipy least squares on
NumPy models written here and against the values published with that data."""


import numpy as np
import pytest
from scipy.optimize import least_squares

import kelvara
from conftest import DATA
from reference_models import TWO_PI, numpy_cost, randles_wo, rc, residual_vector


RANDLES_WO = "R0-p(R1,C1)-p(R2-Wo1,C2)"
DUMMY_CELLS = [f"Circuit{n}_EIS_{k}.z" for n in (1, 2, 3) for k in (1, 2)]
START = [0.01, 0.01, 100.0, 0.01, 0.05, 100.0, 1.0]
# impedance.py's getting-started fit of exampleData.csv with this circuit and start
PUBLISHED = [1.65e-2, 8.68e-3, 3.32, 5.39e-3, 6.37e-2, 2.37e2, 2.20e-1]


def example_csv():
    a = np.loadtxt(DATA / "exampleData.csv", delimiter=",")
    f, z = a[:, 0], a[:, 1] + 1j * a[:, 2]
    keep = z.imag < 0
    return f[keep], z[keep]


def zplot(name):
    lines = (DATA / name).read_text(errors="replace").splitlines()
    start = next(i for i, line in enumerate(lines) if line.strip() == "End Comments") + 1
    rows = np.array([[float(x) for x in line.split()] for line in lines[start:] if line.strip()])
    f, z = rows[:, 0], rows[:, 4] + 1j * rows[:, 5]
    keep = z.imag < 0
    return f[keep], z[keep]


def best_scipy_cost(model, starts, f, z, weight):
    """Smallest cost over several starts; positive parameters are searched in log10."""
    best = np.inf
    for start in starts:
        def fun(x):
            return residual_vector(model, 10.0 ** x, f, z, weight)

        for method in ("lm", "trf"):
            out = least_squares(fun, np.log10(start), method=method, xtol=1e-15, ftol=1e-15, gtol=1e-15,
                                max_nfev=20000)
            r = residual_vector(model, 10.0 ** out.x, f, z, weight)
            if np.all(np.isfinite(r)):
                best = min(best, 0.5 * float(r @ r))
    return best


def hand_start(f, z):
    """R0 from the high-frequency intercept, R1 from the real span, C1 from the apex of -Im Z."""
    return [z.real.min(), np.ptp(z.real), 1 / (TWO_PI * f[np.argmin(z.imag)] * np.ptp(z.real))]


def fitted(result):
    return np.array([result.params[n] for n in result.circuit.param_names()])


@pytest.fixture(scope="module")
def example():
    return example_csv()


def test_example_spectrum_unit_weights(example):
    f, z = example
    assert len(f) == 57
    circuit = kelvara.Circuit(RANDLES_WO)
    assert circuit.param_names() == ["R0.r", "R1.r", "C1.c", "R2.r", "Wo1.z0", "Wo1.tau", "C2.c"]
    result = circuit.with_values(START).fit(f, z, weight="unit")
    p = fitted(result)
    assert result.success and np.isfinite(result.chi_square) and result.chi_square < 1e-4
    cost = numpy_cost(randles_wo, p, f, z, "unit")
    assert result.cost == pytest.approx(cost, rel=1e-9)
    rng = np.random.default_rng(0)
    starts = [START] + [np.array(START) * np.exp(rng.uniform(-0.3, 0.3, len(START))) for _ in range(3)]
    assert result.cost <= 1.001 * best_scipy_cost(randles_wo, starts, f, z, "unit")
    np.testing.assert_allclose(p, PUBLISHED, rtol=1e-2)
    # physically sensible: positive, series resistance near the high-frequency intercept,
    # resistances not above the largest real part measured
    assert np.all(p > 0)
    assert abs(p[0] - z.real[np.argmax(f)]) < 0.1 * p[0]
    assert p[0] + p[1] + p[3] < z.real.max()
    stderr = np.array([result.stderr[n] for n in result.circuit.param_names()])
    assert np.all(stderr > 0) and np.all(stderr < p)  # every parameter is determined by the data


def test_example_spectrum_default_weighting(example):
    f, z = example
    result = kelvara.Circuit(RANDLES_WO).with_values(START).fit(f, z)
    assert result.success and result.chi_square == 2 * result.cost
    assert result.cost <= 1.001 * best_scipy_cost(randles_wo, [START, PUBLISHED], f, z, "modulus")
    model = randles_wo(f, *fitted(result))
    assert np.max(np.abs(model - z) / np.abs(z)) < 0.05


def test_dataframe_form_gives_the_same_fit(example):
    f, z = example
    frame = {"frequency_hertz": list(f), "real_impedance_ohm": list(z.real),
             "imaginary_impedance_ohm": list(z.imag)}
    circuit = kelvara.Circuit(RANDLES_WO).with_values(START)
    a = circuit.fit(frame, weight="unit")
    b = circuit.fit(f, z, weight="unit")
    assert a.params == b.params and a.cost == b.cost and a.stderr == b.stderr


@pytest.mark.parametrize("name", DUMMY_CELLS)
def test_dummy_r_rc_circuits_with_default_call(name):
    f, z = zplot(name)
    assert len(f) >= 45
    circuit = kelvara.Circuit("rc")
    try:
        circuit.guess(f, z)
    except ValueError as e:
        if str(e).startswith("weight file"):
            pytest.skip(f"rc weights are not in this build: {e}")
        raise
    result = circuit.fit(f, z)
    assert result.success
    assert result.circuit.param_names() == ["R0.r", "R1.r", "C1.c"]
    p = fitted(result)
    model = rc(f, *p)
    assert np.max(np.abs(model - z) / np.abs(z)) < 0.06
    assert np.sqrt(np.mean(np.abs(model - z) ** 2 / np.abs(z) ** 2)) < 0.03
    # R0 is the high-frequency intercept, R0 + R1 the low-frequency one
    assert p[0] == pytest.approx(z.real[np.argmax(f)], rel=0.05)
    assert p[0] + p[1] == pytest.approx(z.real[np.argmin(f)], rel=0.05)
    starts = [p * 1.5, hand_start(f, z)]
    assert result.cost <= 1.001 * best_scipy_cost(rc, starts, f, z, "modulus")


@pytest.mark.parametrize("index", [0, 1, 2])
@pytest.mark.parametrize("name", DUMMY_CELLS)
def test_start_on_a_lower_bound_still_reaches_the_optimum(name, index):
    f, z = zplot(name)
    start = hand_start(f, z)
    start[index] = 1e-12  # the lower bound of every resistance and capacitance
    result = kelvara.Circuit("R0-p(R1,C1)").with_values(start).fit(f, z)
    assert result.success
    assert result.cost <= 1.001 * best_scipy_cost(rc, [hand_start(f, z)], f, z, "modulus")


@pytest.mark.parametrize("index", range(7))
def test_example_spectrum_from_a_start_on_a_lower_bound(example, index):
    f, z = example
    start = list(START)
    start[index] = 1e-12
    result = kelvara.Circuit(RANDLES_WO).with_values(start).fit(f, z)
    assert result.cost <= 1.001 * best_scipy_cost(randles_wo, [START, PUBLISHED], f, z, "modulus")


def test_start_below_a_lower_bound_is_refused():
    f, z = zplot(DUMMY_CELLS[0])
    with pytest.raises(ValueError, match=r"^starting value of R0\.r is -5, below its lower bound.*\(bounds \[1e-12, inf\]\)$"):
        kelvara.Circuit("R0-p(R1,C1)").with_values([-5, 40, 1e-5]).fit(f, z)
