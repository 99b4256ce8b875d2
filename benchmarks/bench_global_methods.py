"""The global fit methods of Circuit.fit: speed at default settings and how often they reach the
global optimum from random starts, next to Levenberg-Marquardt.

    python benchmarks/bench_global_methods.py [--quick]

Sections, every number measured in this run (prints only, asserts nothing):
  (a) 60-point noiseless Randles spectrum R0-(R1-W1,CPE1), start = the circuit's default values
      (guess_init=False), every method at its default settings: median wall time and
      impedance_evals, the range of final costs (recomputed with NumPy from the returned
      parameters) and how many runs reached cost < 1e-12 (seeded methods use seeds 0..4). Targets:
      particle_swarm, differential_evolution < 1 s each; simulated_annealing, nelder_mead < 50 ms;
      basin_hopping < 30 ms. Median of 5 runs (1 with --quick).
  (b) 50-point noiseless two-RQ spectrum R0-(R1,CPE1)-(R2,CPE2), 100 random starts (20 with
      --quick): positive parameters log-uniform within +-2 decades of the truth, exponents uniform
      in 0.5..1. For each method the share of fits that reach the global optimum (cost within 1% of
      the Levenberg-Marquardt fit started from the true parameters, or below 1e-12 absolute), with
      the mean time and evaluations per fit (over the fits that returned) and the number of fits
      that ended in ValueError (counted as not reached). Seeded methods use the start's index as seed;
      differential evolution cannot be seeded.
      Budgets: full = the defaults (num_particles 200, generations 1000, nelder_mead_iterations
      2000, de_evaluations 20000, sa_iterations 5000, basin_hopping_hops 20);
      --quick = num_particles 50, generations 200, de_evaluations 5000, sa_iterations 2000,
      basin_hopping_hops 10 (Nelder-Mead unchanged).
Full run: a few minutes on two cores; --quick: well under a minute.
"""

from __future__ import annotations

import statistics
import sys
import time
import warnings

import numpy as np

import kelvara
from numpy_models import TWO_PI, angular as _w, randles, two_rq

QUICK = "--quick" in sys.argv[1:]
METHODS = ["levenberg_marquardt", "particle_swarm", "differential_evolution", "simulated_annealing",
           "basin_hopping", "nelder_mead"]
TARGET_S = {"particle_swarm": 1.0, "differential_evolution": 1.0, "simulated_annealing": 0.05,
            "nelder_mead": 0.05, "basin_hopping": 0.03}
SEEDED = {"particle_swarm", "simulated_annealing", "basin_hopping"}


def numpy_cost(model, p, f, z):
    with np.errstate(all="ignore"):
        d = (model(f, *p) - z) / np.abs(z)
    return 0.5 * float(np.sum(d.real ** 2 + d.imag ** 2))


def values(result, circuit):
    return [result.params[n] for n in circuit.param_names()]


def timed_fit(circuit, f, z, method, **kw):
    t = time.perf_counter()
    res = circuit.fit(f, z, guess_init=False, method=method, **kw)
    return res, time.perf_counter() - t


def section_a():
    print("(a) 60-point Randles R0-(R1-W1,CPE1), start at the circuit defaults, default settings")
    f = np.logspace(5, -2, 60)
    truth = [0.1, 2.0, 0.5, 1e-4, 0.85]
    z = randles(f, *truth)
    circuit = kelvara.Circuit("R0-(R1-W1,CPE1)")
    print(f"    start {circuit.param_values()}, truth {truth}")
    print(f"    {'method':24s} {'median time':>12s} {'target':>9s} {'evals':>9s} {'cost (NumPy)':>26s} {'reached':>8s}")
    repeats = 1 if QUICK else 5
    for method in METHODS:
        times, evals, costs = [], [], []
        for k in range(repeats):
            res, dt = timed_fit(circuit, f, z, method, **({"seed": k} if method in SEEDED else {}))
            times.append(dt)
            evals.append(res.impedance_evals)
            costs.append(numpy_cost(randles, values(res, circuit), f, z))
        med = statistics.median(times)
        target = TARGET_S.get(method)
        tag = "" if target is None else f"< {target * 1e3:g} ms" if target < 1 else f"< {target:g} s"
        verdict = "" if target is None else ("ok" if med < target else "MISSED")
        reached = sum(c < 1e-12 for c in costs)
        cost = f"{min(costs):.3e}" if repeats == 1 else f"{min(costs):.3e} .. {max(costs):.3e}"
        print(f"    {method:24s} {med * 1e3:9.2f} ms {tag:>9s} {int(statistics.median(evals)):9d} {cost:>26s} "
              f"{reached:4d}/{repeats:<3d} {verdict}")


def section_b():
    n_starts = 20 if QUICK else 100
    budgets = (dict(num_particles=50, generations=200, de_evaluations=5000, sa_iterations=2000,
                    basin_hopping_hops=10) if QUICK else {})
    print(f"\n(b) two-RQ R0-(R1,CPE1)-(R2,CPE2), {n_starts} random starts, "
          f"{'reduced budgets (--quick)' if QUICK else 'default budgets'}")
    f = np.logspace(5, -2, 50)
    truth = np.array([0.2, 1.0, 1e-5, 0.9, 5.0, 1e-2, 0.7])
    exponent = np.array([False, False, False, True, False, False, True])
    z = two_rq(f, *truth)
    circuit = kelvara.Circuit("R0-(R1,CPE1)-(R2,CPE2)")
    reference = circuit.with_values(list(truth)).fit(f, z, guess_init=False).cost
    print(f"    reference cost (fit from the true values) {reference:.3e}; "
          f"reached = cost <= 1.01 * reference or < 1e-12")
    rng = np.random.default_rng(20240601)
    starts = []
    for _ in range(n_starts):
        s = truth * 10.0 ** rng.uniform(-2, 2, truth.size)
        s[exponent] = rng.uniform(0.5, 1.0, exponent.sum())
        starts.append([float(v) for v in s])
    print(f"    {'method':24s} {'reached':>9s} {'share':>7s} {'errors':>6s} {'mean time':>11s} {'mean evals':>11s} "
          f"{'median cost':>12s}")
    for method in METHODS:
        hits, errors, times, evals, costs = 0, 0, [], [], []
        for i, s in enumerate(starts):
            kw = dict(budgets)
            if method in SEEDED:
                kw["seed"] = i
            try:
                res, dt = timed_fit(circuit.with_values(s), f, z, method, **kw)
            except ValueError as e:  # e.g. Nelder-Mead meeting a not-a-number cost
                errors += 1
                if errors == 1:
                    print(f"    ({method}, start {i}: ValueError {str(e)[:90]})")
                continue
            cost = numpy_cost(two_rq, values(res, circuit), f, z)
            hits += cost <= 1.01 * reference or cost < 1e-12
            times.append(dt)
            evals.append(res.impedance_evals)
            costs.append(cost)
        print(f"    {method:24s} {hits:5d}/{n_starts:<3d} {hits / n_starts:7.0%} {errors:6d} "
              f"{statistics.mean(times) * 1e3:8.1f} ms {statistics.mean(evals):11.0f} "
              f"{statistics.median(costs):12.3e}", flush=True)


def main():
    warnings.simplefilter("ignore")
    print(f"kelvara {kelvara.__file__}\nmode: {'--quick' if QUICK else 'full'}\n")
    t = time.perf_counter()
    section_a()
    section_b()
    print(f"\ntotal {time.perf_counter() - t:.1f} s")


if __name__ == "__main__":
    main()
