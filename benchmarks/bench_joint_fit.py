"""The joint fit of a series with shared parameters (kelvara.fit_series(shared=...)), in the
core, against the Python Levenberg-Marquardt it replaced (kept below, in this file only).

    python benchmarks/bench_joint_fit.py [--quick]

Both start from the same separate warm-started fits, so the times are those of the joint step
alone; the full fit_series call is timed as well. Every number is measured in this run (best of
three); ratios are old time / new time. Targets: the core at least as fast as the Python routine
on 200 spectra of 60 points with R0 shared, and its cost at most 1e-6 (relative) above the
Python routine's.
"""

from __future__ import annotations

import math
import sys
import time
from typing import Any

import numpy as np

import kelvara
from kelvara.series import SeriesResult, _joint_fit, fit_series

QUICK = "--quick" in sys.argv[1:]
F = np.logspace(5, -2, 60)
_MAX_ITERATIONS = 200  # of the Python routine
_FTOL = 1e-10

CASES = [
    # notation, truth along the sweep, start, shared, spectra
    ("R0-p(R1,CPE1)-p(R2,C2)",
     lambda s: [0.05, 0.2 + 0.3 * s, 1e-4 * (1 + s), 0.85, 1.0 + 2.0 * s, 5e-2],
     [0.1, 0.3, 2e-4, 0.8, 2.0, 3e-2], ["R0.r"], 50 if QUICK else 200),
    ("R0-p(R1,CPE1)-p(R2,C2)",
     lambda s: [0.05, 0.2 + 0.3 * s, 1e-4 * (1 + s), 0.85, 1.0 + 2.0 * s, 5e-2],
     [0.1, 0.3, 2e-4, 0.8, 2.0, 3e-2], ["R0.r", "CPE1.alpha"], 20 if QUICK else 50),
    ("R0-p(R1,CPE1)",
     lambda s: [0.05, 0.5 + s, 1e-3 * (1 + s), 0.85],
     [0.1, 1.0, 1e-3, 0.8], ["R0.r"], 20 if QUICK else 100),
]


def series(notation, truth, count):
    rng = np.random.default_rng(0)
    circuit = kelvara.Circuit(notation)
    out = []
    for k in range(count):
        s = k / max(count - 1, 1)  # a state-of-charge sweep: arcs grow and move
        z = circuit.with_values(truth(s)).impedance(F)
        out.append((F, z * (1 + 0.005 * (rng.standard_normal(F.size) + 1j * rng.standard_normal(F.size)))))
    return out


def best_of(fn, repeats=3):
    times, out = [], None
    for _ in range(repeats):
        t = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t)
    return out, min(times)


def main():
    print(f"kelvara {kelvara.__version__}: joint fits, {F.size} points per spectrum\n")
    header = f"  {'circuit':24} {'shared':16} {'spectra':>7} {'python':>9} {'core':>9} {'ratio':>6}" \
             f" {'whole series':>12} {'python cost':>14} {'core cost':>14} {'rel. diff':>10}"
    print(header)
    for notation, truth, start_values, shared, count in CASES:
        spectra = series(notation, truth, count)
        start = kelvara.Circuit(notation).with_values(start_values)
        separate = fit_series(start, spectra)
        old, t_old = best_of(lambda: old_joint_fit(start, spectra, separate.results, shared, "modulus"))
        new, t_new = best_of(lambda: _joint_fit(start, spectra, separate.results, shared, "modulus"))
        _, t_whole = best_of(lambda: fit_series(start, spectra, shared=shared), repeats=1)
        difference = (new.cost - old.cost) / old.cost
        print(f"  {notation:24} {','.join(shared):16} {count:7d} {t_old:8.3f}s {t_new:8.3f}s {t_old / t_new:6.2f}"
              f" {t_whole:11.3f}s {old.cost:14.8e} {new.cost:14.8e} {difference:10.2e}")
        print(f"  {'':24} python: {old.message}\n  {'':24} core:   {new.message}")
    print("\n  ratio: python time / core time for the joint step; rel. diff: (core - python) / python cost")


# ---------------------------------------------------------------- the Python routine it replaced


class _Space:
    """Search coordinates of the circuit's bounds: log10(p - lo) for parameters
    without a finite upper bound, p itself for the others (as the fit engine)."""

    def __init__(self, bounds: list[tuple[float, float]]) -> None:
        self.lo = np.array([b[0] for b in bounds])
        self.hi = np.array([b[1] for b in bounds])
        self.log = ~np.isfinite(self.hi)

    def internal(self, p: np.ndarray) -> np.ndarray:
        x = p.astype(float).copy()
        x[..., self.log] = np.log10(np.maximum(p[..., self.log] - self.lo[self.log], 1e-300))
        return x

    def physical(self, x: np.ndarray) -> np.ndarray:
        p = x.copy()
        p[..., self.log] = 10.0 ** x[..., self.log] + self.lo[self.log]
        lin = ~self.log
        p[..., lin] = np.clip(p[..., lin], self.lo[lin], self.hi[lin])
        return p

    def slope(self, p: np.ndarray) -> np.ndarray:
        return np.where(self.log, (p - self.lo) * math.log(10.0), 1.0)


def old_joint_fit(
    circuit: Circuit, pairs: list[tuple[Any, Any]], results: list[Any], shared: list[str], weight: str
) -> SeriesResult:
    names = circuit.param_names()
    fixed = set(circuit.fixed)
    shared_idx = np.array([names.index(n) for n in shared])
    own_idx = np.array([j for j, n in enumerate(names) if n not in fixed and n not in shared], dtype=int)
    space = _Space(circuit.param_bounds())
    data = [(np.asarray(f, dtype=float), np.asarray(z, dtype=complex)) for f, z in pairs]
    n, k, s = len(data), len(own_idx), len(shared_idx)

    failed = [i for i, r in enumerate(results) if isinstance(r, BaseException)]
    if failed:
        raise ValueError(f"spectrum {failed[0]}: {results[failed[0]]}")
    full = np.array([[r.params[name] for name in names] for r in results])
    # Shared start: the median over the series, in search coordinates (a
    # geometric median for log-scaled parameters).
    x_full = space.internal(full)
    x_shared = np.median(x_full[:, shared_idx], axis=0)
    x_own = x_full[:, own_idx].copy()

    fixed_idx = [j for j, name in enumerate(names) if name in fixed]

    def assemble(x_own: np.ndarray, x_shared: np.ndarray) -> np.ndarray:
        x = x_full.copy()
        x[:, own_idx] = x_own
        x[:, shared_idx] = x_shared
        p = space.physical(x)
        p[:, fixed_idx] = full[:, fixed_idx]  # held values exactly, not through the coordinates
        return p

    # Counted from the separate fits that gave the start.
    evaluations = sum(r.impedance_evals for r in results)

    def residuals(p: np.ndarray) -> list[np.ndarray]:
        nonlocal evaluations
        evaluations += n
        return [np.asarray(circuit.residuals(p[i], f, z, weight)) for i, (f, z) in enumerate(data)]

    def jacobians(p: np.ndarray) -> list[np.ndarray]:
        nonlocal evaluations
        out = []
        for i, (f, z) in enumerate(data):
            jac = np.asarray(circuit.jacobian(p[i], f, z, weight))
            evaluations += 2 * jac.shape[1]
            out.append(jac)
        return out

    def total_cost(rs: list[np.ndarray]) -> float:
        return 0.5 * float(sum(r @ r for r in rs))

    p = assemble(x_own, x_shared)
    rs = residuals(p)
    cost = total_cost(rs)
    lam = 1e-3
    reason = "stopped: iteration limit reached"
    converged = False
    iterations = 0
    for iterations in range(1, _MAX_ITERATIONS + 1):
        jac = jacobians(p)
        slope = space.slope(p)
        blocks = []
        g_s = np.zeros(s)
        c_mat = np.zeros((s, s))
        for i in range(n):
            j_own = jac[i][:, own_idx] * slope[i, own_idx]
            j_sh = jac[i][:, shared_idx] * slope[i, shared_idx]
            blocks.append((j_own.T @ j_own, j_own.T @ j_sh, j_own.T @ rs[i]))
            g_s += j_sh.T @ rs[i]
            c_mat += j_sh.T @ j_sh
        improved = False
        while lam < 1e16:
            # Marquardt's damping on the diagonal, with a floor for zero columns.
            schur = c_mat + lam * np.diag(np.maximum(np.diag(c_mat), 1e-12))
            rhs = -g_s.copy()
            solved = []
            for a, b, g in blocks:
                a_damped = a + lam * np.diag(np.maximum(np.diag(a), 1e-12))
                sol = np.linalg.solve(a_damped, np.column_stack([b, g]))
                a_inv_b, a_inv_g = sol[:, :s], sol[:, s]
                schur -= b.T @ a_inv_b
                rhs += b.T @ a_inv_g
                solved.append((a_inv_b, a_inv_g))
            try:
                d_shared = np.linalg.solve(schur, rhs)
            except np.linalg.LinAlgError:
                lam *= 10.0
                continue
            d_own = np.array([-(a_inv_g + a_inv_b @ d_shared) for a_inv_b, a_inv_g in solved])
            new_own, new_shared = x_own + d_own, x_shared + d_shared
            new_p = assemble(new_own, new_shared)
            new_rs = residuals(new_p)
            new_cost = total_cost(new_rs)
            if math.isfinite(new_cost) and new_cost <= cost:
                reduction = (cost - new_cost) / cost if cost > 0 else 0.0
                x_new = space.internal(new_p)
                x_own, x_shared, p, rs = x_new[:, own_idx], x_new[0, shared_idx], new_p, new_rs
                cost = new_cost
                lam = max(lam / 3.0, 1e-12)
                improved = True
                if reduction < _FTOL:
                    converged = True
                    reason = "converged: relative reduction of the sum of squares below 1e-10"
                break
            lam *= 4.0
        if not improved:
            converged = True
            reason = "converged: no further reduction possible in double precision"
        if converged:
            break

    return _series_outcome(circuit, data, results, p, rs, shared, own_idx, shared_idx, weight, cost, iterations,
                           evaluations, reason)


def _series_outcome(
    circuit: Circuit,
    data: list[tuple[np.ndarray, np.ndarray]],
    results: list[Any],
    p: np.ndarray,
    rs: list[np.ndarray],
    shared: list[str],
    own_idx: np.ndarray,
    shared_idx: np.ndarray,
    weight: str,
    cost: float,
    iterations: int,
    evaluations: int,
    reason: str,
) -> SeriesResult:
    """Per-spectrum results at the joint optimum, with standard errors from the
    joint covariance (physical coordinates, scaled by chi-square over the
    degrees of freedom of the whole problem)."""
    from kelvara._core import _restore_fit_result  # type: ignore[attr-defined]  # the pickle restore function

    names = circuit.param_names()
    n, k, s = len(data), len(own_idx), len(shared_idx)
    jac = [np.asarray(circuit.jacobian(p[i], f, z, weight)) for i, (f, z) in enumerate(data)]
    residual_count = sum(len(r) for r in rs)
    dof = residual_count - (n * k + s)
    chi_square = 2.0 * cost
    errors = np.full(p.shape, math.nan)
    shared_errors: dict[str, float] | None = None
    try:
        if dof <= 0:
            raise np.linalg.LinAlgError("no degrees of freedom")
        a_inv, b_blocks = [], []
        schur = np.zeros((s, s))
        for i in range(n):
            j_own, j_sh = jac[i][:, own_idx], jac[i][:, shared_idx]
            a_i = np.linalg.inv(j_own.T @ j_own)
            b_i = j_own.T @ j_sh
            schur += j_sh.T @ j_sh - b_i.T @ a_i @ b_i
            a_inv.append(a_i)
            b_blocks.append(b_i)
        cov_shared = np.linalg.inv(schur)
        scale = chi_square / dof
        for i in range(n):
            m = a_inv[i] @ b_blocks[i]
            cov_own = a_inv[i] + m @ cov_shared @ m.T
            errors[i, own_idx] = np.sqrt(np.maximum(np.diag(cov_own), 0.0) * scale)
            errors[i, shared_idx] = np.sqrt(np.maximum(np.diag(cov_shared), 0.0) * scale)
        shared_errors = {name: float(errors[0, j]) for name, j in zip(shared, shared_idx)}
        have_errors = bool(np.all(np.isfinite(errors[:, np.concatenate([own_idx, shared_idx])])))
    except np.linalg.LinAlgError:
        have_errors = False

    message = f"joint fit of {n} spectra sharing {', '.join(shared)}: {reason}"
    success = reason.startswith("converged")
    out = []
    for i, (result, r) in enumerate(zip(results, rs)):
        state = result.__reduce__()[1][0]
        circuit_state = circuit.with_values(list(p[i])).__reduce__()[1][0]
        spectrum_chi_square = float(r @ r)
        out.append(
            _restore_fit_result(
                (
                    "kelvara.FitResult",
                    state[1],
                    circuit_state,
                    list(names),
                    [float(v) for v in p[i]],
                    [float(v) for v in errors[i]] if have_errors else None,
                    int(iterations),
                    int(evaluations),
                    0.5 * spectrum_chi_square,
                    spectrum_chi_square,
                    success,
                    message,
                )
            )
        )
    shared_values = {name: float(p[0, j]) for name, j in zip(shared, shared_idx)}
    return SeriesResult(out, shared_values, shared_errors if have_errors else None, success, message, cost)


if __name__ == "__main__":
    main()
