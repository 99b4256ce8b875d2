"""kelvara.fit_series: an ordered series of spectra (a state-of-charge sweep, a
temperature series, an ageing test) fitted with one circuit.

Each spectrum may start from the previous one's fitted values (``warm_start``),
which keeps arcs in order along the series, and parameters that are physically
common to every spectrum (an electrolyte resistance, a geometric capacitance)
can be fitted once, jointly with all per-spectrum parameters, as one
least-squares problem over the stacked weighted residuals (``shared``).

The joint problem's Jacobian is block-arrow shaped: one block per spectrum for
its own parameters plus the shared columns. The damped normal equations are
solved through the Schur complement of the shared block, so the work grows
linearly with the number of spectra instead of cubically.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Iterable, Iterator, Sequence

import numpy as np

from kelvara._batch import raise_named
from kelvara._spectra import items, spectrum

if TYPE_CHECKING:
    from kelvara._core import Circuit, FitResult

__all__ = ["fit_series", "SeriesResult"]

_MAX_ITERATIONS = 200
_FTOL = 1e-10


class SeriesResult:
    """The fits of an ordered series of spectra.

    Iterating gives the per-spectrum ``FitResult`` objects in order (also as
    ``results``). With shared parameters, ``shared`` and ``shared_stderr`` hold
    their jointly fitted values and standard errors, every result's ``params``
    hold the shared values too, and every standard error comes from the joint
    covariance.
    """

    def __init__(
        self,
        results: list[FitResult],
        shared: dict[str, float],
        shared_stderr: dict[str, float] | None,
        success: bool,
        message: str,
        cost: float,
    ) -> None:
        self.results = results
        self.shared = shared
        self.shared_stderr = shared_stderr
        self.success = success
        self.message = message
        self.cost = cost

    def __iter__(self) -> Iterator[FitResult]:
        return iter(self.results)

    def __len__(self) -> int:
        return len(self.results)

    def __getitem__(self, index: int) -> FitResult:
        return self.results[index]

    def __repr__(self) -> str:
        shared = f", shared={self.shared!r}" if self.shared else ""
        return f"SeriesResult({len(self.results)} spectra, success={self.success}{shared})"

    def params(self) -> dict[str, np.ndarray]:
        """Each parameter along the series, as arrays keyed by name."""
        names = list(self.results[0].params) if self.results else []
        return {name: np.array([r.params[name] for r in self.results]) for name in names}

    def stderr(self) -> dict[str, np.ndarray]:
        """Each parameter's standard error along the series (NaN where missing or fixed)."""
        names = list(self.results[0].params) if self.results else []
        out = {}
        for name in names:
            out[name] = np.array([(r.stderr or {}).get(name, math.nan) for r in self.results], dtype=float)
        return out

    def to_frame(self) -> Any:
        """A pandas DataFrame, one row per spectrum in order: every parameter,
        its standard error (``"<name>_stderr"``), ``chi_square`` and ``success``."""
        import pandas as pd  # type: ignore[import-untyped]

        columns: dict[str, Any] = {}
        stderr = self.stderr()
        for name, values in self.params().items():
            columns[name] = values
            columns[f"{name}_stderr"] = stderr[name]
        columns["chi_square"] = [r.chi_square for r in self.results]
        columns["success"] = [r.success for r in self.results]
        frame = pd.DataFrame(columns)
        frame.index.name = "spectrum"
        return frame

    def table(self) -> str:
        """The parameters along the series as text, one row per spectrum."""
        params, stderr = self.params(), self.stderr()
        header = ["#"] + [name for name in params] + ["chi_square"]
        rows = [header]
        for i, result in enumerate(self.results):
            cells = [str(i)]
            for name in params:
                error = stderr[name][i]
                cells.append(f"{params[name][i]:.6g}" + (f" ± {error:.2g}" if math.isfinite(error) else ""))
            cells.append(f"{result.chi_square:.4g}")
            rows.append(cells)
        widths = [max(len(row[c]) for row in rows) for c in range(len(header))]
        return "".join("  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip() + "\n" for row in rows)


def fit_series(
    circuit: Circuit,
    spectra: Iterable[Any] | Any,
    impedances: Any = None,
    *,
    shared: Sequence[str] = (),
    warm_start: bool = True,
    id_column: str | None = None,
    **fit_kwargs: Any,
) -> SeriesResult:
    """Fit `circuit` to an ordered series of spectra.

    Parameters
    ----------
    circuit : Circuit
        The circuit with its start (or none: the first spectrum's start comes
        from its data, and from the network's guess for a trained topology),
        its fixed parameters and bounds.
    spectra, impedances, id_column
        The series, in the input forms of :func:`kelvara.fit_many`.
    shared : sequence of str
        Parameters whose value is common to every spectrum, fitted jointly
        with all per-spectrum parameters as one least-squares problem.
    warm_start : bool
        Start each spectrum from the previous spectrum's fitted values (the
        first from the usual start). False fits every spectrum from the usual
        start, on every core.
    **fit_kwargs
        Any argument of ``Circuit.fit`` after the spectrum (method, weight, ...);
        the joint refinement of shared parameters uses the same weighting.

    Returns
    -------
    SeriesResult
    """
    import kelvara

    pairs = []
    for index, (f, z) in enumerate(items(spectra, impedances, id_column)):
        try:
            pairs.append(spectrum(f, z))
        except Exception as error:
            raise_named(error, str(index))
    if not pairs:
        raise ValueError("fit_series needs at least one spectrum")
    shared = [shared] if isinstance(shared, str) else list(shared)
    names = circuit.param_names()
    unknown = [name for name in shared if name not in names]
    if unknown:
        circuit.with_free(unknown)  # raises the did-you-mean ValueError
    held = [name for name in shared if name in circuit.fixed]
    if held:
        raise ValueError(f"shared parameters cannot also be fixed: {held}")

    if warm_start:
        from kelvara.selection import fit_started

        results = []
        current = circuit
        for index, (f, z) in enumerate(pairs):
            try:
                # The first spectrum starts from the data where the circuit has no start of its own.
                result = fit_started(current, f, z, **fit_kwargs) if index == 0 else current.fit(f, z, **fit_kwargs)
            except Exception as error:
                raise_named(error, str(index))
            results.append(result)
            if result.success and all(math.isfinite(v) for v in result.params.values()):
                current = result.circuit
    else:
        results = kelvara.fit_many(circuit, pairs, **fit_kwargs)  # type: ignore[assignment]
    if not shared:
        cost = float(sum(r.cost for r in results))
        return SeriesResult(results, {}, None, all(r.success for r in results), "separate fits", cost)
    return _joint_fit(circuit, pairs, results, shared, fit_kwargs.get("weight", "modulus"))


# ----------------------------------------------------------------------------- the joint problem


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


def _joint_fit(
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
