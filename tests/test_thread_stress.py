"""Many Python threads at once on shared and separately built circuits: every call must give
exactly what the same call gave alone, whether it runs inline or on the module's worker pool,
succeeds or raises."""

import sys
import threading
import time

import numpy as np
import pytest

import kelvara
from conftest import assert_ok, run_python

THREADS = 16
# Seconds after which a thread that has not come back counts as hung; generous enough for a
# sanitized build on a busy machine.
HANG = 600

RANDLES = ("randles", [0.1, 2.0, 0.5, 1e-4, 0.85])
TWO_RQ = ("R0-(R1,CPE1)-(R2,CPE2)", [0.2, 1.0, 1e-5, 0.9, 5.0, 1e-2, 0.7])


def noisy_spectrum(notation, values, n, seed):
    f = np.logspace(5, -2, n)
    z = kelvara.Circuit(notation).with_values(values).impedance(f)
    rng = np.random.default_rng(seed)
    return f, z * (1 + 0.01 * (rng.standard_normal(n) + 1j * rng.standard_normal(n)))


def built_randles(values):
    r0, r1, aw, q, alpha = values
    return kelvara.Series([kelvara.R(r0), kelvara.Parallel([kelvara.Series([kelvara.R(r1), kelvara.W(aw)]),
                                                            kelvara.Cpe(q, alpha)])])


def canonical(value):
    """Bit-exact comparable form (float reprs round-trip exactly)."""
    if isinstance(value, list):  # residuals, jacobian rows, guesses
        value = np.asarray(value, dtype=float)
    if isinstance(value, np.ndarray):
        return value.dtype.str, value.shape, value.tobytes()
    if isinstance(value, kelvara.FitResult):
        value = (value.params, value.stderr, value.cost, value.chi_square, value.iterations,
                 value.impedance_evals, value.success, value.message, value.circuit.param_values())
    return repr(value)


def outcome(call):
    try:
        return canonical(call())
    except ValueError as e:
        return "ValueError", str(e)


# Small budgets: the point is many overlapping calls, not good fits. Population sizes times
# points reach past the size at which a batch of costs goes to the worker pool.
GLOBAL = {
    "particle_swarm": dict(num_particles=80, generations=8),
    "simulated_annealing": dict(sa_iterations=300),
    "basin_hopping": dict(basin_hopping_hops=2),
}


def tasks_for(make, notation, values):
    """name -> call on circuits from `make()`: the one shared object, or a new one per call."""
    f, z = noisy_spectrum(notation, values, 60, seed=len(values))
    big_f, big_z = noisy_spectrum(notation, values, 2000, seed=1)  # past the pool thresholds
    off = [v * 1.3 if hi == np.inf else v for v, (lo, hi) in zip(values, make().param_bounds())]
    tasks = {
        "impedance": lambda: make().impedance(f),
        "impedance_pool": lambda: make().impedance(big_f),
        "residuals": lambda: make().residuals(off, f, z),
        "residuals_unit": lambda: make().residuals(off, f, z, weight="unit"),
        "jacobian": lambda: make().jacobian(off, f, z),
        "jacobian_pool": lambda: make().jacobian(off, big_f, big_z),
        "guess": lambda: make().guess(f, z),
        "fit_guessed": lambda: make().fit(f, z),
        "fit_lm": lambda: make().with_values(off).fit(f, z, guess_init=False),
        "fit_nelder_mead": lambda: make().with_values(off).fit(f, z, guess_init=False, method="nelder_mead",
                                                                nelder_mead_iterations=300),
        "residuals_wrong_length": lambda: make().residuals(off[:-1], f, z),
        "fit_no_particles": lambda: make().fit(f, z, method="particle_swarm", num_particles=0, seed=7),
    }
    for method, budget in GLOBAL.items():
        tasks["fit_" + method] = (lambda method=method, budget=budget: make().with_values(off).fit(
            f, z, guess_init=False, method=method, seed=7, **budget))
    return tasks


def all_tasks():
    tasks = {}
    sources = [RANDLES + ("randles",), TWO_RQ + ("two_rq",)]
    for notation, values, label in sources:
        shared = kelvara.Circuit(notation).with_values(values)
        for kind, make in [("shared", lambda shared=shared: shared),
                           ("separate", lambda n=notation, v=values: kelvara.Circuit(n).with_values(v))]:
            for name, call in tasks_for(make, notation, values).items():
                tasks[f"{label}/{kind}/{name}"] = call
    shared_built = built_randles(RANDLES[1])
    for name, call in tasks_for(lambda: shared_built, *RANDLES).items():
        tasks[f"elements/shared/{name}"] = call
    # Seeded from the OS, so not repeatable: only required to finish with a finite cost.
    f, z = noisy_spectrum(*RANDLES, 60, seed=3)
    de = kelvara.Circuit(RANDLES[0]).with_values(RANDLES[1])
    tasks["unchecked/differential_evolution"] = lambda: de.fit(f, z, method="differential_evolution",
                                                                de_evaluations=300)
    return tasks


def run_threads(work):
    """Runs work(k) on THREADS threads released together; returns what each returned."""
    start = threading.Barrier(THREADS)
    results, errors = [None] * THREADS, []

    def body(k):
        try:
            start.wait()
            results[k] = work(k)
        except BaseException as e:  # noqa: BLE001 - reported below with its thread
            errors.append((k, repr(e)))

    threads = [threading.Thread(target=body, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    deadline = time.monotonic() + HANG
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    assert not any(t.is_alive() for t in threads), "a thread never finished"
    assert not errors, errors
    return results


@pytest.fixture
def frequent_switches():
    """Hand the interpreter between threads far more often than usual."""
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(before)


def test_threads_mixing_every_call_match_serial_results(frequent_switches):
    tasks = all_tasks()
    names = list(tasks)
    checked = [n for n in names if not n.startswith("unchecked/")]
    serial = {name: outcome(tasks[name]) for name in checked}
    assert serial["randles/shared/residuals_wrong_length"][0] == "ValueError"

    def work(k):
        # Every other task from a different starting point in each thread: each task runs in about
        # half of the threads, overlapping with a different mix of calls in each.
        start = k * 7 % len(names)
        order = (names[start:] + names[:start])[::2]
        return {name: (outcome(tasks[name]) if name in serial else tasks[name]().cost) for name in order}

    results = run_threads(work)
    assert set().union(*results) == set(names)
    for k, got in enumerate(results):
        for name, value in got.items():
            if name in serial:
                assert value == serial[name], f"thread {k}: {name} differs from its serial result"
            else:
                assert np.isfinite(value) and value >= 0, f"thread {k}: {name} cost {value}"


def test_first_guesses_from_many_threads_in_a_fresh_interpreter():
    """The networks are set up on first use: threads racing there must still agree with serial guesses."""
    names = kelvara.Circuit.ml_circuits()
    f = np.logspace(5, -2, 50)
    serial = [repr(kelvara.Circuit(n).guess(f, kelvara.Circuit(n).impedance(f))) for n in names]
    proc = run_python(f"""
        import threading
        import numpy as np
        import kelvara

        names = {names!r}
        f = np.logspace(5, -2, 50)
        spectra = [kelvara.Circuit(n).impedance(f) for n in names]
        start = threading.Barrier({THREADS})
        out = [None] * {THREADS}

        def work(k):
            start.wait()
            order = [(k + j) % len(names) for j in range(len(names))]
            got = {{i: repr(kelvara.Circuit(names[i]).guess(f, spectra[i])) for i in order}}
            out[k] = [got[i] for i in range(len(names))]

        threads = [threading.Thread(target=work, args=(k,)) for k in range({THREADS})]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for row in out:
            print("|".join(row))
    """)
    assert_ok(proc)
    rows = proc.stdout.splitlines()
    assert len(rows) == THREADS
    for k, row in enumerate(rows):
        assert row.split("|") == serial, f"thread {k}"
