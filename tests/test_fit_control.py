"""Fixed parameters, the caller's own bounds and series of spectra: against scipy's
least_squares on the same weighted residuals, with the held parameters removed or the
bounds imposed there, and in every path a fit can take."""

import json
import math
import pickle
import signal
import time

import numpy as np
import pytest

import kelvara
from conftest import DATA, start_python
from kelvara import io
from kelvara.series import fit_series

scipy_optimize = pytest.importorskip("scipy.optimize")

METHODS = ["levenberg_marquardt", "particle_swarm", "nelder_mead", "differential_evolution",
           "simulated_annealing", "basin_hopping"]
QUICK = {"particle_swarm": dict(num_particles=30, generations=40, seed=1), "nelder_mead": {},
         "differential_evolution": dict(de_evaluations=2000), "simulated_annealing": dict(sa_iterations=500, seed=1),
         "basin_hopping": dict(basin_hopping_hops=3, seed=1), "levenberg_marquardt": {}}
F = np.logspace(-2, 5, 50)
TWO_ARC = "R0-p(R1,CPE1)-p(R2,CPE2)"
TWO_ARC_TRUTH = [0.05, 0.4, 2e-3, 0.9, 0.8, 5e-2, 0.75]


def noisy(circuit, values, f=F, level=0.01, seed=0):
    z = kelvara.Circuit(circuit).with_values(values).impedance(f)
    rng = np.random.default_rng(seed)
    return z + level * np.abs(z) * (rng.standard_normal(len(f)) + 1j * rng.standard_normal(len(f)))


def scipy_cost(circuit, f, z, start, fixed=(), bounds=None):
    """least_squares over the free parameters of `circuit`'s residuals, from `start`."""
    names = circuit.param_names()
    bounds = bounds or dict(zip(names, circuit.param_bounds()))
    free = [j for j, n in enumerate(names) if n not in fixed]
    full = np.array(start, dtype=float)

    def fun(x):
        p = full.copy()
        p[free] = x
        return np.asarray(circuit.residuals(list(p), f, z))

    lo = [bounds[names[j]][0] for j in free]
    hi = [bounds[names[j]][1] for j in free]
    x0 = np.clip(full[free], lo, hi)
    fit = scipy_optimize.least_squares(fun, x0, bounds=(lo, hi), x_scale="jac", ftol=1e-14, xtol=1e-14, gtol=1e-14,
                                       max_nfev=20000)
    return fit.cost


def real_spectra():
    cases = [("exampleData.csv", "R0-p(R1,C1)-p(R2-Wo1,C2)", [0.01, 0.005, 0.1, 0.01, 0.1, 100.0, 1.0],
              {"R0.r": 0.0155}, {"R1.r": (1e-4, 0.01)}),
             ("Circuit1_EIS_1.z", "R0-p(R1,CPE1)", [30.0, 40.0, 1e-5, 0.9], {"R0.r": 29.0}, {"CPE1.alpha": (0.8, 0.95)}),
             ("exampleDataAutolab.txt", "R0-p(R1,CPE1)", [0.01, 0.02, 1.0, 0.9], {"CPE1.alpha": 0.85},
              {"R1.r": (1e-3, 0.015)})]
    return [pytest.param(*case, id=case[0]) for case in cases]


@pytest.mark.parametrize("file, notation, start, held, bounds", real_spectra())
def test_fixed_and_bounded_fits_reach_the_scipy_optimum(file, notation, start, held, bounds):
    f, z = io.read(DATA / file)
    circuit = kelvara.Circuit(notation).with_values(start)
    fixed = circuit.with_fixed(held)
    result = fixed.fit(f, z)
    assert all(result.params[n] == v for n, v in held.items())
    reference = scipy_cost(fixed, f, z, fixed.param_values(), fixed=held)
    assert result.cost <= reference * (1 + 1e-6)

    bounded = circuit.with_bounds(bounds)
    result = bounded.fit(f, z)
    for name, (lo, hi) in bounds.items():
        assert lo <= result.params[name] <= hi
    in_force = dict(zip(bounded.param_names(), bounded.param_bounds()))
    assert result.cost <= scipy_cost(bounded, f, z, start, bounds=in_force) * (1 + 1e-6)


@pytest.mark.parametrize("method", METHODS)
def test_every_method_holds_fixed_values_and_keeps_to_user_bounds(method):
    z = noisy(TWO_ARC, TWO_ARC_TRUTH)
    circuit = (kelvara.Circuit(TWO_ARC).with_values([0.1, 0.3, 1e-3, 0.85, 1.0, 1e-2, 0.8])
               .with_fixed({"R0.r": 0.05}).with_bounds({"CPE2.alpha": (0.5, 0.7)}))
    result = circuit.fit(F, z, method=method, **QUICK[method])
    assert result.params["R0.r"] == 0.05 and (result.stderr is None or math.isnan(result.stderr["R0.r"]))
    assert 0.5 <= result.params["CPE2.alpha"] <= 0.7
    assert result.circuit.fixed == ["R0.r"] and result.to_dict()["fixed"] == ["R0.r"]
    assert "fixed" in result.table().splitlines()[1]


def test_standard_errors_come_from_the_free_columns():
    z = noisy("R0-p(R1,C1)", [0.1, 2.0, 1e-3])
    circuit = kelvara.Circuit("R0-p(R1,C1)").with_values([0.1, 2.0, 1e-3]).with_fixed(["R0.r"])
    result = circuit.fit(F, z)
    p = list(result.params.values())
    jac = np.asarray(circuit.jacobian(p, F, z))[:, 1:]
    r = np.asarray(circuit.residuals(p, F, z))
    covariance = np.linalg.inv(jac.T @ jac) * (r @ r) / (len(r) - 2)
    np.testing.assert_allclose([result.stderr["R1.r"], result.stderr["C1.c"]], np.sqrt(np.diag(covariance)),
                               rtol=1e-6)


def test_the_guess_runs_and_held_values_replace_guessed_ones():
    z = noisy("R0-p(R1,C1)", [0.1, 2.0, 1e-3])
    result = kelvara.Circuit("rc").with_fixed({"R0.r": 0.12}).with_bounds({"R1.r": (1.0, 1.5)}).fit(F, z)
    assert result.params["R0.r"] == 0.12 and 1.0 <= result.params["R1.r"] <= 1.5


def test_control_is_carried_by_rebinding_composition_and_pickles():
    base = kelvara.Circuit("R0-p(R1,C1)").with_fixed({"R1.r": 3.0}).with_bounds({"C1.c": (1e-6, 1e-2)})
    for circuit in (base.with_values([1.0, 3.0, 1e-3]), pickle.loads(pickle.dumps(base)),
                    base.with_named_values({"R0.r": 1.0, "R1.r": 3.0, "C1.c": 1e-3})):
        assert circuit.fixed == ["R1.r"] and circuit.param_bounds()[2] == (1e-6, 1e-2)
    joined = kelvara.Series([kelvara.L(1e-6), base])
    assert joined.fixed == ["R1.r"] and joined.param_bounds()[3] == (1e-6, 1e-2)
    lines = repr(base).splitlines()
    assert lines[2].endswith("  fixed") and lines[3].endswith("bounds (1e-6, 0.01)")
    assert base.with_free(["R1.r"]).fixed == [] and base.with_bounds({"C1.c": None}).param_bounds()[2][0] == 1e-12
    result = base.with_values([1.0, 3.0, 1e-3]).fit(F, noisy("R0-p(R1,C1)", [1.0, 3.0, 1e-3]))
    again = pickle.loads(pickle.dumps(result))
    assert again.circuit.fixed == ["R1.r"] and again.table() == result.table()
    # a state without control is the one earlier versions wrote, and still restores
    plain = kelvara.Circuit("R0-p(R1,C1)")
    assert len(plain.__reduce__()[1][0]) == 4
    state = plain.__reduce__()[1][0][:4] + (([True, False], [None, None]),)
    with pytest.raises(ValueError, match="cannot restore kelvara.Circuit"):
        kelvara._core._restore_circuit(state)


@pytest.mark.parametrize("call, error, match", [
    (lambda c: c.with_fixed({"R1.x": 1.0}), ValueError, 'did you mean "R1.r"'),
    (lambda c: c.with_free(["C2.c"]), ValueError, 'unknown parameter "C2.c"'),
    (lambda c: c.with_fixed("R0.r"), TypeError, "single str"),
    (lambda c: c.with_fixed({"R0.r": math.nan}), ValueError, "must be finite"),
    (lambda c: c.with_bounds({"R1.r": (0.0, math.inf)}), ValueError, "R1.r .* log scale"),
    (lambda c: c.with_bounds({"R1.r": (5.0, 1.0)}), ValueError, "R1.r .* below the upper"),
    (lambda c: c.with_bounds({"C1.c": (math.nan, 1.0)}), ValueError, "C1.c .* number"),
    (lambda c: c.with_bounds({"C1.c": 3.0}), TypeError, "pair"),
    (lambda c: c.with_fixed(["R0.r", "R1.r", "C1.c"]).fit(F, F + 0j), ValueError, "every parameter is fixed"),
    (lambda c: c.with_bounds({"R1.r": (2.0, 3.0)}).with_fixed({"R1.r": 1.0}).fit(F, F + 0j), ValueError,
     "fixed value of R1.r is 1, outside"),
])
def test_controls_that_cannot_work_are_refused(call, error, match):
    with pytest.raises(error, match=match):
        call(kelvara.Circuit("R0-p(R1,C1)"))


def test_fit_many_and_dask_honour_fixed_parameters():
    circuit = kelvara.Circuit(TWO_ARC).with_values(TWO_ARC_TRUTH).with_fixed({"R0.r": 0.04})
    spectra = [(F, noisy(TWO_ARC, TWO_ARC_TRUTH, seed=s)) for s in range(3)]
    many = kelvara.fit_many(circuit, spectra)
    assert [r.params for r in many] == [circuit.fit(f, z).params for f, z in spectra]
    dask_module = pytest.importorskip("kelvara.dask")
    bag = pytest.importorskip("dask.bag").from_sequence([(i, f, z) for i, (f, z) in enumerate(spectra)])
    frame = dask_module.fit_bag(bag, circuit).compute(scheduler="synchronous")
    assert (frame["R0.r"] == 0.04).all()


# ------------------------------------------------------------------------------------ series

SERIES_CIRCUIT = "R0-p(R1,CPE1)"


def series_spectra(count=5, points=40):
    f = np.logspace(-1, 5, points)
    return [(f, noisy(SERIES_CIRCUIT, [0.05, 0.5 + 0.1 * i, 1e-3 * (1 + 0.3 * i), 0.85], f=f, level=0.005, seed=i))
            for i in range(count)]


def test_a_joint_fit_reaches_the_sparse_least_squares_optimum():
    spectra = series_spectra()
    circuit = kelvara.Circuit(SERIES_CIRCUIT).with_values([0.1, 1.0, 1e-3, 0.8])
    joint = fit_series(circuit, spectra, shared=["R0.r", "CPE1.alpha"])
    n = len(spectra)

    def fun(x):
        return np.concatenate([circuit.residuals([x[0], x[2 + 2 * i], x[3 + 2 * i], x[1]], f, z)
                               for i, (f, z) in enumerate(spectra)])

    sparsity = np.zeros((sum(2 * len(f) for f, _ in spectra), 2 + 2 * n), dtype=int)
    for i, (f, _) in enumerate(spectra):
        sparsity[i * 2 * len(f):(i + 1) * 2 * len(f), [0, 1, 2 + 2 * i, 3 + 2 * i]] = 1
    lo, hi = [1e-12, 0.0] + [1e-12] * 2 * n, [np.inf, 1.0] + [np.inf] * 2 * n
    x0 = [0.1, 0.8] + [1.0, 1e-3] * n
    reference = scipy_optimize.least_squares(fun, x0, jac_sparsity=sparsity, bounds=(lo, hi), x_scale="jac",
                                             ftol=1e-14, xtol=1e-14, gtol=1e-14)
    assert joint.success and joint.cost <= reference.cost * (1 + 1e-6)
    assert joint.shared["R0.r"] == pytest.approx(reference.x[0], rel=1e-4)
    assert all(r.params["R0.r"] == joint.shared["R0.r"] for r in joint)
    frame = joint.to_frame()
    assert list(frame.index) == list(range(n)) and frame["R0.r_stderr"].nunique() == 1
    assert set(frame["shared"]) == {"R0.r;CPE1.alpha"} and "R0.r (shared)" in joint.table()
    assert 0 < joint.shared_stderr["R0.r"] < 1e-2


@pytest.mark.parametrize("shared, bounds", [
    (["CPE1.alpha"], {"CPE1.alpha": (0.7, 0.8)}),  # the truth, 0.85, lies above: held on the bound
    (["R0.r"], {"CPE1.alpha": (0.9, 1.0)}),  # every spectrum's own exponent held on its bound
])
def test_a_joint_fit_under_bounds_reaches_the_bounded_optimum(shared, bounds):
    spectra = series_spectra(count=3)
    circuit = kelvara.Circuit(SERIES_CIRCUIT).with_values([0.1, 1.0, 1e-3, 0.8]).with_bounds(bounds)
    joint = fit_series(circuit, spectra, shared=shared)
    names = circuit.param_names()
    s = names.index(shared[0])
    own = [j for j in range(len(names)) if j != s]
    lo, hi = np.array(circuit.param_bounds()).T
    n = len(spectra)

    def values(x, i):
        p = np.empty(len(names))
        p[s], p[own] = x[0], x[1 + 3 * i:4 + 3 * i]
        return list(p)

    def fun(x):
        return np.concatenate([circuit.residuals(values(x, i), f, z) for i, (f, z) in enumerate(spectra)])

    start = np.array(circuit.param_values())
    low, high = np.r_[lo[s], np.tile(lo[own], n)], np.r_[hi[s], np.tile(hi[own], n)]
    x0 = np.clip(np.r_[start[s], np.tile(start[own], n)], low, high)
    reference = scipy_optimize.least_squares(fun, x0, bounds=(low, high), x_scale="jac",
                                             ftol=1e-14, xtol=1e-14, gtol=1e-14)
    assert joint.success and joint.cost <= reference.cost * (1 + 1e-6)
    for result in joint:
        assert all(lo[j] <= result.params[name] <= hi[j] for j, name in enumerate(names))


def test_joint_standard_errors_are_those_of_the_whole_problem():
    spectra = series_spectra(count=4)
    circuit = kelvara.Circuit(SERIES_CIRCUIT).with_values([0.1, 1.0, 1e-3, 0.8])
    joint = fit_series(circuit, spectra, shared=["R0.r"])
    names = circuit.param_names()  # R0.r shared, then three of each spectrum's own
    blocks = [np.asarray(circuit.jacobian([r.params[m] for m in names], f, z)) for r, (f, z) in zip(joint, spectra)]
    rows = sum(len(b) for b in blocks)
    stacked = np.zeros((rows, 1 + 3 * len(blocks)))
    row = 0
    for i, block in enumerate(blocks):
        stacked[row:row + len(block), 0] = block[:, 0]
        stacked[row:row + len(block), 1 + 3 * i:4 + 3 * i] = block[:, 1:]
        row += len(block)
    chi_square = sum(r.chi_square for r in joint)
    covariance = np.linalg.inv(stacked.T @ stacked) * chi_square / (rows - stacked.shape[1])
    assert joint.shared_stderr["R0.r"] == pytest.approx(math.sqrt(covariance[0, 0]), rel=1e-6)
    for i, result in enumerate(joint):
        for a, name in enumerate(names[1:]):
            assert result.stderr[name] == pytest.approx(math.sqrt(covariance[1 + 3 * i + a, 1 + 3 * i + a]), rel=1e-6)
            assert result.covariance[name]["R0.r"] == pytest.approx(covariance[1 + 3 * i + a, 0], rel=1e-6)


def test_a_joint_fit_judges_each_spectrum_as_a_single_fit(tmp_path, capsys):
    # A capacitor where the data have a depressed arc: every separate fit is flagged, and so
    # must every spectrum of the joint fit be, with the statistics of its own residuals.
    from kelvara.cli import main

    spectra = series_spectra(count=3)
    circuit = kelvara.Circuit("R0-p(R1,C1)")
    joint = fit_series(circuit, spectra, shared=["R0.r"])
    for result, (f, z) in zip(joint, spectra):
        r = np.asarray(circuit.residuals([result.params[name] for name in circuit.param_names()], f, z))
        n, k, chi_square = r.size, 3, float(r @ r)
        assert result.n_points == f.size and result.n_free == k
        assert result.chi_square == pytest.approx(chi_square, rel=1e-12)
        assert result.aic == pytest.approx(n * math.log(chi_square / n) + 2 * k, rel=1e-9)
        assert result.bic == pytest.approx(n * math.log(chi_square / n) + k * math.log(n), rel=1e-9)
        assert set(result.covariance) == {"R0.r", "R1.r", "C1.c"}
        assert "misfit" in {flag.code for flag in result.flags} and result.verdict != "clean"
    files = []
    for i, (f, z) in enumerate(spectra):
        path = tmp_path / f"s{i}.csv"
        path.write_text("Frequency / Hz,Real Impedance / ohm,Imaginary Impedance / ohm\n"
                        + "".join(f"{a:.17g},{b.real:.17g},{b.imag:.17g}\n" for a, b in zip(f, z)))
        files.append(str(path))
    capsys.readouterr()
    for extra in ([], ["--shared", "R0.r"]):
        assert main(["fit", *files, "--circuit", "R0-p(R1,C1)", "--series", *extra]) == 1
        out = capsys.readouterr().out
        assert out.count("verdict: clean") == 0 and out.count("; verdict: suspect") == 3
    assert out.count("shared with every spectrum of the series, fitted jointly: R0.r") == 3


def test_a_joint_fit_over_a_point_that_is_not_a_number_fails_as_a_single_fit_does():
    spectra = series_spectra(count=3)
    f, z = spectra[1]
    z = z.copy()
    z[5] = np.nan
    spectra[1] = (f, z)
    circuit = kelvara.Circuit(SERIES_CIRCUIT).with_values([0.1, 1.0, 1e-3, 0.8])
    with pytest.warns(UserWarning, match="cost will not be finite"):
        single = circuit.fit(f, z)
        joint = fit_series(circuit, spectra, shared=["R0.r"])
    assert not single.success and math.isnan(single.cost)
    assert not joint.success and math.isnan(joint.cost) and "converged" not in joint.message
    assert not joint[1].success and math.isnan(joint[1].cost) and joint[1].message == joint.message


def test_without_shared_parameters_a_series_is_separate_fits():
    spectra = series_spectra(count=3)
    circuit = kelvara.Circuit(SERIES_CIRCUIT).with_values([0.1, 1.0, 1e-3, 0.8]).with_fixed(["R0.r"])
    warm = fit_series(circuit, spectra)
    start = circuit
    for result, (f, z) in zip(warm, spectra):
        expected = start.fit(f, z)
        assert result.params == expected.params and result.circuit.fixed == ["R0.r"]
        start = expected.circuit
    cold = fit_series(circuit, spectra, warm_start=False)
    assert [r.params for r in cold] == [circuit.fit(f, z).params for f, z in spectra]
    with pytest.raises(ValueError, match="cannot also be fixed"):
        fit_series(circuit, spectra, shared=["R0.r"])


def test_ctrl_c_ends_a_long_joint_fit():
    code = """
        import numpy as np, kelvara
        from kelvara._core import _joint_fit
        f = np.logspace(5, -2, 60)
        c = kelvara.Circuit("R0-p(R1,CPE1)").with_values([0.1, 1.0, 1e-3, 0.8])
        z = c.with_values([0.05, 0.5, 1e-3, 0.85]).impedance(f)
        spectra = [z * (1 + k / 5000) for k in range(5000)]
        print("started", flush=True)
        try:
            _joint_fit(c, [f] * len(spectra), spectra, [[0.1, 1.0, 1e-3, 0.8]] * len(spectra), ["R0.r"], "modulus", 0)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
    """
    proc = start_python(code)
    assert proc.stdout.readline().strip() == "started"
    time.sleep(0.3)  # into the fit
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    assert out.strip() == "interrupted", err


def test_cli_fix_bound_and_series(tmp_path, capsys):
    from kelvara.cli import main

    files = []
    for i, (f, z) in enumerate(series_spectra(count=3)):
        path = tmp_path / f"s{i}.csv"
        path.write_text("Frequency / Hz,Real Impedance / ohm,Imaginary Impedance / ohm\n"
                        + "".join(f"{a:.17g},{b.real:.17g},{b.imag:.17g}\n" for a, b in zip(f, z)))
        files.append(str(path))
    out = tmp_path / "fit.json"
    argv = [files[0], "--circuit", SERIES_CIRCUIT, "--start", "0.1,1,1e-3,0.8", "--fix", "R0.r=0.05",
            "--bound", "CPE1.alpha=0.7:0.95", "--json", str(out)]
    assert main(["fit", *argv]) == 0
    row = json.loads(out.read_text())
    assert row["params"]["R0.r"] == 0.05 and row["fixed"] == ["R0.r"] and row["params"]["CPE1.alpha"] <= 0.95
    assert main(["fit", *files, "--circuit", SERIES_CIRCUIT, "--start", "0.1,1,1e-3,0.8", "--shared", "R0.r",
                 "--json", str(out)]) == 0
    rows = json.loads(out.read_text())
    assert len({r["params"]["R0.r"] for r in rows}) == 1 and "joint fit of 3 spectra" in rows[0]["message"]
    assert all(r["shared"] == ["R0.r"] for r in rows)
    assert main(["fit", files[0], "--circuit", SERIES_CIRCUIT, "--bound", "R1.r=1"]) == 2
    assert "expected NAME=LO:HI" in capsys.readouterr().err


def scipy_search_cost(circuit, f, z, start):
    """least_squares "trf" from `start`, the open parameters as log10(p - lo), the others bounded."""
    lo, hi = np.array(circuit.param_bounds()).T
    open_ = ~np.isfinite(hi)

    def physical(y):
        with np.errstate(over="ignore"):
            return np.where(open_, lo + 10.0 ** y, y)

    def jac(y):
        p = physical(y)
        return np.asarray(circuit.jacobian(list(p), f, z)) * np.where(open_, (p - lo) * math.log(10), 1.0)

    y0 = np.where(open_, np.log10(np.maximum(np.asarray(start) - lo, 1e-300)), start)
    fit = scipy_optimize.least_squares(lambda y: circuit.residuals(list(physical(y)), f, z), y0, jac=jac,
                                       bounds=(np.where(open_, -np.inf, lo), np.where(open_, np.inf, hi)),
                                       method="trf", x_scale="jac", ftol=1e-12, xtol=1e-12, gtol=1e-12)
    return fit.cost


@pytest.mark.parametrize("file, notation, bounds", [
    # Both arcs were shorted (R1 = R2 = 1e-12) at 67x the cost of scipy's point, with success.
    ("exampleDataZPlot_noComments.z", "two_rq", {"CPE1.alpha": (0.85, 1.0), "CPE2.alpha": (0.85, 1.0)}),
    # R0 on its floor, ending 1000x above.
    ("exampleDataBioLogic.mpt", "R0-p(R1,CPE1)-CPE2", {"CPE1.alpha": (0.85, 1.0), "CPE2.alpha": (0.85, 1.0)}),
    # q bounded over six decades: searched linearly, the fit stalled at a start, 1000x above.
    ("Circuit3_EIS_1.z", "R0-p(R1,CPE1)-CPE2", {"CPE1.q": (1.8e-8, 1.8e-2)}),
])
def test_bounded_fits_leave_degenerate_corners_for_the_optimum(file, notation, bounds):
    f, z = io.read(DATA / file)
    circuit = kelvara.Circuit(notation).with_bounds(bounds)
    try:
        start = circuit.guess(f, z)
    except ValueError:
        start = circuit.param_values()
    start = [min(max(v, lo), hi) for v, (lo, hi) in zip(start, circuit.param_bounds())]
    result = circuit.with_values(start).fit(f, z)
    assert result.cost <= 1.01 * scipy_search_cost(circuit, f, z, start)
    for name, (lo, hi) in bounds.items():
        assert lo <= result.params[name] <= hi



def test_a_held_series_resistance_fit_reaches_the_optimum_a_start_misses():
    # R0 held at the high-frequency intercept: from the guess the fit ends in a local
    # minimum 1.46x above scipy's; its second start, from the data, does not
    file, notation = "Circuit1_EIS_1.z", "L0-R0-p(R1,CPE1)-p(R2,CPE2)"
    f, z = io.read(DATA / file)
    held = {"R0.r": float(z[np.argmax(f)].real)}
    circuit = kelvara.Circuit(notation)
    try:
        start = circuit.guess(f, z)
    except ValueError:
        start = circuit.with_data_start(f, z).param_values()
    start[circuit.param_names().index("R0.r")] = held["R0.r"]
    result = circuit.with_values(start).with_fixed(held).fit(f, z)
    assert result.params["R0.r"] == held["R0.r"]
    assert result.cost <= 1.01 * scipy_cost(circuit, f, z, start, fixed=["R0.r"])
