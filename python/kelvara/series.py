"""kelvara.fit_series: an ordered series of spectra (a state-of-charge sweep, a
temperature series, an ageing test) fitted with one circuit.

Each spectrum may start from the previous one's fitted values (``warm_start``),
which keeps arcs in order along the series, and parameters that are physically
common to every spectrum (an electrolyte resistance, a geometric capacitance)
can be fitted once, jointly with all per-spectrum parameters, as one
least-squares problem over the stacked weighted residuals (``shared``).

The joint problem is solved in the core by the fit engine's Levenberg-Marquardt
over the shared parameters, each spectrum's own parameters refitted at every
point, so the work grows linearly with the number of spectra. Every spectrum's
result is a full ``FitResult`` (statistics, flags, verdict) whose covariance
comes from the joint problem.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Callable, Iterable, Iterator, Sequence

import numpy as np

from kelvara._batch import raise_named
from kelvara._measured import items, spectrum

if TYPE_CHECKING:
    from kelvara._core import Circuit, FitResult

__all__ = ["fit_series", "SeriesResult"]

_MAX_ITERATIONS = 200
_FTOL = 1e-10


class SeriesResult:
    """The fits of an ordered series of spectra.

    Iterating gives the per-spectrum ``FitResult`` objects in order (also as
    ``results``). With shared parameters, ``shared`` and ``shared_stderr`` hold
    their jointly fitted values and standard errors (``shared`` is empty for
    separate fits), every result's ``params`` hold the shared values too, and
    every standard error comes from the joint covariance. ``to_frame()`` and
    ``table()`` name the shared parameters.
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
        its standard error (``"<name>_stderr"``), ``chi_square``, ``success`` and
        ``shared``, the names of the shared parameters joined by ";" (empty for
        separate fits)."""
        import pandas as pd  # type: ignore[import-untyped]

        columns: dict[str, Any] = {}
        stderr = self.stderr()
        for name, values in self.params().items():
            columns[name] = values
            columns[f"{name}_stderr"] = stderr[name]
        columns["chi_square"] = [r.chi_square for r in self.results]
        columns["success"] = [r.success for r in self.results]
        columns["shared"] = [";".join(self.shared)] * len(self.results)
        frame = pd.DataFrame(columns)
        frame.index.name = "spectrum"
        return frame

    def table(self) -> str:
        """The parameters along the series as text, one row per spectrum with its
        chi-square and verdict (a shared parameter's column is headed
        "<name> (shared)")."""
        params, stderr = self.params(), self.stderr()
        header = ["#"] + [f"{name} (shared)" if name in self.shared else name for name in params]
        header += ["chi_square", "verdict"]
        rows = [header]
        for i, result in enumerate(self.results):
            cells = [str(i)]
            for name in params:
                error = stderr[name][i]
                cells.append(f"{params[name][i]:.6g}" + (f" ± {error:.2g}" if math.isfinite(error) else ""))
            cells += [f"{result.chi_square:.4g}", result.verdict]
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

    for name in ("errors", "progress"):  # fit_many's batch options: a series stops at its first failure
        if name in fit_kwargs:
            raise TypeError(f"fit_series() got an unexpected keyword argument {name!r}: a series fit stops at the "
                            "first spectrum that fails and names it")
    pairs = _series_spectra(spectra, impedances, id_column)
    shared = _checked_shared(circuit, shared)
    if warm_start:
        results = _warm_started(circuit, pairs, fit_kwargs)
    else:
        results = kelvara.fit_many(circuit, pairs, **fit_kwargs)  # type: ignore[assignment]
    if not shared:
        cost = float(sum(r.cost for r in results))
        return SeriesResult(results, {}, None, all(r.success for r in results), "separate fits", cost)
    return _joint_fit(circuit, pairs, results, shared, fit_kwargs.get("weight", "modulus"))


def _series_spectra(spectra: Any, impedances: Any, id_column: str | None) -> list[tuple[np.ndarray, np.ndarray]]:
    pairs = []
    for index, (f, z) in enumerate(items(spectra, impedances, id_column)):
        try:
            pairs.append(spectrum(f, z))
        except Exception as error:
            raise_named(error, str(index))
    if not pairs:
        raise ValueError("fit_series needs at least one spectrum")
    return pairs


def _checked_shared(circuit: Circuit, shared: Sequence[str] | str) -> list[str]:
    shared = [shared] if isinstance(shared, str) else list(shared)
    names = circuit.param_names()
    unknown = [name for name in shared if name not in names]
    if unknown:
        circuit.with_free(unknown)  # raises the did-you-mean ValueError
    held = [name for name in shared if name in circuit.fixed]
    if held:
        raise ValueError(f"shared parameters cannot also be fixed: {held}")
    return shared


def _warm_started(circuit: Circuit, pairs: list[tuple[np.ndarray, np.ndarray]],
                  fit_kwargs: dict[str, Any], step: Callable[[int], None] | None = None) -> list[FitResult]:
    """Each spectrum from the previous one's fitted values; the first from the data
    where the circuit has no start of its own. `step`, when given, is called with the
    count fitted so far before each fit and once at the end (progress, or a stop by
    raising)."""
    from kelvara.selection import fit_started

    results = []
    current = circuit
    for index, (f, z) in enumerate(pairs):
        if step is not None:
            step(index)
        try:
            result = fit_started(current, f, z, **fit_kwargs) if index == 0 else current.fit(f, z, **fit_kwargs)
        except Exception as error:
            raise_named(error, str(index))
        results.append(result)
        if result.success and all(math.isfinite(v) for v in result.params.values()):
            current = result.circuit
    if step is not None:
        step(len(pairs))
    return results


# ----------------------------------------------------------------------------- the joint problem


def _joint_fit(
    circuit: Circuit, pairs: list[tuple[Any, Any]], results: list[Any], shared: list[str], weight: str
) -> SeriesResult:
    """The joint fit in the core, started from the separate fits: each spectrum's
    own parameters from its fit, the shared ones from their median."""
    from kelvara._core import _joint_fit as joint_fit

    failed = [i for i, r in enumerate(results) if isinstance(r, BaseException)]
    if failed:
        raise ValueError(f"spectrum {failed[0]}: {results[failed[0]]}")
    starts = [r.circuit.param_values() for r in results]
    evaluations = sum(r.impedance_evals for r in results)
    fitted, success, message, cost = joint_fit(circuit, [f for f, _ in pairs], [z for _, z in pairs], starts,
                                               list(shared), weight, evaluations)
    first = fitted[0]
    values = {name: first.params[name] for name in shared}
    errors = first.stderr
    shared_stderr = {name: errors[name] for name in shared} if errors is not None else None
    return SeriesResult(fitted, values, shared_stderr, success, message, cost)
