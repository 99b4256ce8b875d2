"""kelvara.fit_series against scipy.optimize.least_squares with a sparse Jacobian, and against
the same spectra fitted one by one.

    python benchmarks/bench_series.py [--quick]

200 spectra of 60 points (50 with --quick) of R0-p(R1,CPE1)-p(R2,C2): five parameters per
spectrum and the series resistance R0 shared by all. Every number is measured in this run:
time, residual vectors of one spectrum evaluated (scipy: calls of the stacked function times the
number of spectra) and the final cost, 1/2 sum of squared weighted residuals.
Target: the joint fit well under a second.
"""

from __future__ import annotations

import sys
import time

import numpy as np
from scipy.optimize import least_squares
from scipy.sparse import lil_matrix

import kelvara
from kelvara.series import fit_series

COUNT = 50 if "--quick" in sys.argv[1:] else 200
NOTATION = "R0-p(R1,CPE1)-p(R2,C2)"
F = np.logspace(5, -2, 60)


def series(count):
    rng = np.random.default_rng(0)
    truth = kelvara.Circuit(NOTATION)
    out = []
    for k in range(count):
        s = k / max(count - 1, 1)  # a state-of-charge sweep: arcs grow and move
        z = truth.with_values([0.05, 0.2 + 0.3 * s, 1e-4 * (1 + s), 0.85, 1.0 + 2.0 * s, 5e-2]).impedance(F)
        out.append((F, z * (1 + 0.005 * (rng.standard_normal(F.size) + 1j * rng.standard_normal(F.size)))))
    return out


def timed(fn):
    t = time.perf_counter()
    out = fn()
    return out, time.perf_counter() - t


def main():
    spectra = series(COUNT)
    start = kelvara.Circuit(NOTATION).with_values([0.1, 0.3, 2e-4, 0.8, 2.0, 3e-2])
    print(f"kelvara {kelvara.__version__}: {COUNT} spectra of {F.size} points, {NOTATION}, R0.r shared\n")
    print(f"  {'fit':44} {'time':>10} {'evaluations':>12} {'cost':>13}  R0.r")

    joint, t_joint = timed(lambda: fit_series(start, spectra, shared=["R0.r"]))
    evals = joint.results[0].impedance_evals
    print(f"  {'kelvara fit_series, joint (R0.r shared)':44} {t_joint:9.3f}s {evals:12d} {joint.cost:13.6e}"
          f"  {joint.shared['R0.r']:.6g} ± {joint.shared_stderr['R0.r']:.2g}")

    separate, t_sep = timed(lambda: fit_series(start, spectra))
    evals = sum(r.impedance_evals for r in separate)
    r0 = np.array([r.params["R0.r"] for r in separate])
    print(f"  {'kelvara fit_series, one by one (warm start)':44} {t_sep:9.3f}s {evals:12d} {separate.cost:13.6e}"
          f"  {np.median(r0):.6g} (spread {r0.std():.2g})")

    many, t_many = timed(lambda: kelvara.fit_many(start, spectra))
    evals = sum(r.impedance_evals for r in many)
    cost = sum(r.cost for r in many)
    print(f"  {'kelvara fit_many, one by one (all cores)':44} {t_many:9.3f}s {evals:12d} {cost:13.6e}")

    n, k = COUNT, 5
    calls = [0]

    def fun(x):
        calls[0] += 1
        return np.concatenate([start.residuals([x[0], *x[1 + k * i:1 + k * (i + 1)]], f, z)
                               for i, (f, z) in enumerate(spectra)])

    rows = 2 * F.size
    sparsity = lil_matrix((n * rows, 1 + n * k), dtype=int)
    for i in range(n):
        sparsity[i * rows:(i + 1) * rows, 0] = 1
        sparsity[i * rows:(i + 1) * rows, 1 + k * i:1 + k * (i + 1)] = 1
    x0 = np.array([0.1] + [0.3, 2e-4, 0.8, 2.0, 3e-2] * n)
    lower = [1e-12] + [1e-12, 1e-12, 0.0, 1e-12, 1e-12] * n
    upper = [np.inf] + [np.inf, np.inf, 1.0, np.inf, np.inf] * n
    ls, t_ls = timed(lambda: least_squares(fun, x0, jac_sparsity=sparsity, bounds=(lower, upper), x_scale="jac"))
    # spectra evaluated: every call evaluates all of them (its Jacobian columns are grouped by sparsity)
    evals = calls[0] * n
    print(f"  {'scipy least_squares, sparse Jacobian (trf)':44} {t_ls:9.3f}s {evals:12d} {ls.cost:13.6e}"
          f"  {ls.x[0]:.6g}")
    print(f"\n  joint fit: {t_ls / t_joint:.1f}x faster than scipy's sparse least_squares; "
          f"cost ratio ours / scipy {joint.cost / ls.cost:.9f}")
    print("  (evaluations: residual vectors of one spectrum; kelvara's joint count includes the separate fits "
          "it starts from)")


if __name__ == "__main__":
    main()
