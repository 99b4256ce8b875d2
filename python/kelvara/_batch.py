"""kelvara.fit_many: one circuit fitted to many spectra on every core."""

from __future__ import annotations

import numbers
import sys
from typing import TYPE_CHECKING, Any, Callable, Iterable, Sequence

if TYPE_CHECKING:  # numpy is imported when used: importing kelvara stays light
    import numpy as np

    from kelvara._core import Circuit, FitResult

from kelvara._columns import FREQUENCY as _FREQUENCY
from kelvara._columns import IMAGINARY as _IMAGINARY
from kelvara._columns import REAL as _REAL
from kelvara._columns import SNAKE_CASE, frame_column, frame_spectrum

# (battery-data-format name, snake-case name) pairs and their lookup, for the
# modules that take them from here; kelvara._columns holds the names.
FREQUENCY = (_FREQUENCY, SNAKE_CASE[_FREQUENCY])
REAL = (_REAL, SNAKE_CASE[_REAL])
IMAGINARY = (_IMAGINARY, SNAKE_CASE[_IMAGINARY])


#: Columns after the parameters and standard errors in the Dask frames and the
#: command line's summary CSV: the fit statistics, then "verdict" and "flags".
STATISTICS = ("n_free", "reduced_chi_square", "misfit", "aic", "aicc", "bic")


def flag_codes(result: Any) -> str:
    """The codes of a fit's flags joined by ';' (empty for a clean fit)."""
    return ";".join(flag.code for flag in result.flags)


def _column(frame: Any, names: tuple[str, str]) -> Any:
    return frame_column(frame, names[0])


def _id_kind(key: Any) -> str:
    import numpy as np

    if isinstance(key, (bool, np.bool_)):
        return "bool"
    if isinstance(key, numbers.Integral):
        return "int"
    if isinstance(key, numbers.Real):
        return "float"
    return "str" if isinstance(key, str) else type(key).__name__


def group_ids(ids: Any, where: str) -> tuple[list[Any], list[np.ndarray]]:
    """The distinct ids in order of first appearance and the row indices of each (rows
    keep their order), in time linear in the rows.

    Raises ValueError naming `where` and the row for a missing id (None, NaN, NaT,
    pd.NA), for ids of different types (1 and "1" would otherwise be two spectra, 1
    and 1.0 one) and for unhashable ids.
    """
    import numpy as np

    if not isinstance(ids, np.ndarray) or ids.ndim != 1:
        keys = list(ids)
        ids = np.empty(len(keys), dtype=object)
        for row, key in enumerate(keys):  # element by element: tuple ids stay tuples
            ids[row] = key
    if ids.dtype.kind in "fcmM":
        bad = np.flatnonzero(ids != ids)
        if bad.size:
            raise ValueError(f"{where}: row {bad[0]} has no id ({ids[bad[0]].item()!r}); every row needs one")
    if ids.dtype.kind in "iubfcmMUS":
        # One type throughout and no missing ids left: sorted, not hashed row by row.
        _, first, codes = np.unique(ids, return_index=True, return_inverse=True)
        rank = np.empty(len(first), dtype=np.intp)
        rank[np.argsort(first, kind="stable")] = np.arange(len(first))
        codes = rank[codes.ravel()]
        firsts = ids[np.sort(first)]
        uniques = list(firsts) if ids.dtype.kind in "iub" else firsts.tolist()
    elif len(ids) and all(type(key) is str for key in ids):
        index: dict[Any, int] = {}
        codes = np.fromiter((index.setdefault(key, len(index)) for key in ids), dtype=np.intp, count=len(ids))
        uniques = list(index)
    else:
        index = {}
        codes = np.empty(len(ids), dtype=np.intp)
        kind = None
        for row, key in enumerate(ids.tolist() if ids.dtype.kind != "O" else ids):
            try:
                missing = key is None or bool(key != key)
            except (TypeError, ValueError):
                missing = True
            if missing:
                raise ValueError(f"{where}: row {row} has no id ({key!r}); every row needs one")
            if kind is None:
                kind, first_key = _id_kind(key), key
            elif _id_kind(key) != kind:
                raise ValueError(f"{where}: ids of mixed types, {first_key!r} ({kind}) and {key!r} "
                                 f"({_id_kind(key)}) in row {row}; use one type")
            try:
                codes[row] = index.setdefault(key, len(index))
            except TypeError:
                raise ValueError(f"{where}: row {row} has an unhashable id {key!r}") from None
        uniques = list(index)
    order = np.argsort(codes, kind="stable")
    bounds = np.cumsum(np.bincount(codes, minlength=len(uniques)))[:-1]
    return uniques, np.split(order, bounds)


def _from_long_frame(frame: Any, id_column: str) -> list[tuple[Any, Any]]:
    """Rows grouped by `id_column`, in order of first appearance."""
    if id_column not in frame.columns:
        raise ValueError(f"no id column {id_column!r}")
    ids = frame[id_column].to_numpy()
    f, z = frame_spectrum(frame)
    _, groups = group_ids(ids, f"the id column {id_column!r}")
    return [(f[rows], z[rows]) for rows in groups]


def _pairs(spectra: Any, impedances: Any, id_column: str | None) -> list[tuple[Any, Any]]:
    if id_column is not None:
        return _from_long_frame(spectra, id_column)
    if impedances is not None:
        import numpy as np

        rows = np.asarray(impedances)
        if rows.ndim != 2:
            raise ValueError(f"impedances must be a 2-D array (one spectrum per row), got {rows.ndim} dimensions")
        return [(spectra, row) for row in rows]
    pairs = []
    for item in spectra:
        if hasattr(item, "frequencies") and hasattr(item, "impedances"):
            pairs.append((item.frequencies, item.impedances))
        else:
            f, z = item
            pairs.append((f, z))
    return pairs


def _progress_bar(done: int, total: int) -> None:
    print(f"\rfitted {done}/{total}", end="\n" if done == total else "", file=sys.stderr, flush=True)


def fit_many(
    circuit: Circuit,
    spectra: Iterable[Any] | Any,
    impedances: Any = None,
    *,
    id_column: str | None = None,
    errors: str = "raise",
    progress: bool | Callable[[int, int], object] | None = None,
    **fit_kwargs: Any,
) -> list[FitResult | Exception]:
    """Fit `circuit` to many spectra at once, spread over every core.

    Parameters
    ----------
    circuit : Circuit
        The circuit, with its start values (or none: a trained topology guesses
        per spectrum, exactly as ``circuit.fit`` does).
    spectra
        A sequence of ``(frequencies, impedances)`` pairs or
        ``kelvara.io.Spectrum`` objects; or a 1-D frequency vector shared by the
        rows of the 2-D `impedances`; or, with `id_column`, a long-format
        dataframe with battery-data-format columns and a spectrum id column
        (spectra in order of first appearance of their id).
    errors : {"raise", "return"}
        With "raise" the first failed spectrum's exception is raised (after the
        whole batch ran); with "return" its slot holds the exception.
    progress : bool or callable, optional
        True for a progress line on stderr, or ``progress(done, total)``,
        called about every 50 ms from the calling thread.
    **fit_kwargs
        Any argument of ``Circuit.fit`` after the spectrum.

    Returns
    -------
    list
        One ``FitResult`` per spectrum, in input order; each equals
        ``circuit.fit`` on that spectrum alone (seeded methods included).
    """
    if errors not in ("raise", "return"):
        raise ValueError(f'errors must be "raise" or "return", got {errors!r}')
    pairs = _pairs(spectra, impedances, id_column)
    callback = _progress_bar if progress is True else (progress or None)
    results = circuit._fit_many([p[0] for p in pairs], [p[1] for p in pairs], progress=callback, **fit_kwargs)
    if errors == "raise":
        for index, result in enumerate(results):
            if isinstance(result, BaseException):
                raise type(result)(f"spectrum {index}: {result}") from result
    return results


__all__: Sequence[str] = ["fit_many"]
