"""The one reading of measured spectra for kelvara's Python functions.

Every function that takes a spectrum takes the forms ``Circuit.fit`` takes: two
sequences, or one dataframe-like object with battery-data-format columns (a pandas
or polars DataFrame, a dict of lists, a :class:`kelvara.io.Spectrum`) in any column
form the core reads (real and imaginary parts, or modulus and phase in degrees;
display or snake-case names). The reading, its messages and the column names are
the compiled core's (``_core._spectrum``, ``_core._COLUMNS``), so a bad spectrum is
refused in the same words wherever it is given; this module adds the forms of many
spectra at once.
"""

from __future__ import annotations

import numbers
from typing import TYPE_CHECKING, Any

from kelvara import _core

if TYPE_CHECKING:  # numpy is imported when used: importing kelvara stays light
    import numpy as np

#: The column names by role: {"frequency": ("Frequency / Hz", "frequency_hertz"), ...}.
COLUMNS: dict[str, tuple[str, str]] = dict(_core._COLUMNS)  # type: ignore[attr-defined]
FREQUENCY = COLUMNS["frequency"][0]
REAL = COLUMNS["real"][0]
IMAGINARY = COLUMNS["imaginary"][0]

#: Rules a reader can ask for beyond the reading itself: "usable" refuses a point
#: that no logarithm or weight can use (a frequency that is not finite and positive,
#: an impedance that is not finite); "relaxation" also a zero impedance and
#: frequencies that are all equal (fits weighted by 1/|Z| over log-spaced time
#: constants: the Kramers-Kronig check, the DRT).
CHECKS = ("", "usable", "relaxation")


def spectrum(frequencies: Any, impedances: Any = None, *, check: str = "",
             min_points: int = 0) -> tuple[np.ndarray, np.ndarray]:
    """New float64 frequencies and complex128 impedances of one spectrum, read as
    ``Circuit.fit`` reads them (rows of a dataframe whose frequency is not positive
    are dropped; two sequences keep every row), then held to `check` ("usable",
    "relaxation", or "keep_usable", which leaves out the points no logarithm or
    weight can use) and `min_points`. ValueError or TypeError with the core's message otherwise."""
    return _core._spectrum(frequencies, impedances, check=check, min_points=min_points)  # type: ignore[attr-defined]


def items(spectra: Any, impedances: Any = None, id_column: str | None = None) -> list[tuple[Any, Any]]:
    """One ``(frequencies, impedances)`` pair per spectrum, `impedances` None for a
    dataframe, as the batches hand them to the core, from the many-spectra forms:

    * a sequence whose items are ``(frequencies, impedances)`` pairs (or arrays
      of those two rows) or single spectra (a :class:`kelvara.io.Spectrum`, a
      dataframe);
    * a 1-D frequency vector shared by the rows of the 2-D `impedances`;
    * with `id_column`, one long-format dataframe (:func:`long_frame`).
    """
    if id_column is not None:
        return long_frame(spectra, id_column)[1]
    if impedances is not None:
        import numpy as np

        rows = np.asarray(impedances)
        if rows.ndim != 2:
            raise ValueError(f"impedances must be a 2-D array (one spectrum per row), got {rows.ndim} dimensions")
        return [(spectra, row) for row in rows]
    return [(item[0], item[1]) if _is_pair(item) else (item, None) for item in spectra]


def _is_pair(item: Any) -> bool:
    """A (frequencies, impedances) pair: a tuple or list of two, or an array of two rows."""
    import numpy as np

    if isinstance(item, (tuple, list)):
        return len(item) == 2
    return isinstance(item, np.ndarray) and item.ndim == 2 and len(item) == 2


def long_frame(frame: Any, id_column: str) -> tuple[list[Any], list[tuple[np.ndarray, np.ndarray]]]:
    """The spectra of a long-format dataframe, one row per point: the ids in order
    of first appearance and each id's (frequencies, impedances), its rows in their
    order."""
    try:
        ids = frame[id_column]
    except Exception:
        raise ValueError(f"no id column {id_column!r}") from None
    return split(frame, _values(ids), f"the id column {id_column!r}")


def split(frame: Any, ids: Any, where: str) -> tuple[list[Any], list[tuple[np.ndarray, np.ndarray]]]:
    """The spectra of a dataframe whose rows `ids` name, in order of first
    appearance. A row dropped for its frequency leaves its spectrum shorter; a
    spectrum left without rows is empty, and its fit says so."""
    import numpy as np

    f, z, kept = _core._spectrum(frame, rows=True)  # type: ignore[attr-defined]
    uniques, groups = group_ids(ids, where)
    if kept.size == len(ids):
        return uniques, [(f[rows], z[rows]) for rows in groups]
    if kept.size and kept[-1] >= len(ids):
        raise ValueError(f"{where} has {len(ids)} rows, the spectrum columns more")
    position = np.full(len(ids), -1, dtype=np.intp)
    position[kept] = np.arange(kept.size)
    out = []
    for rows in groups:
        at = position[rows]
        at = at[at >= 0]
        out.append((f[at], z[at]))
    return uniques, out


def _values(column: Any) -> Any:
    """A dataframe column as an array (pandas, polars) or as it is (a list)."""
    to_numpy = getattr(column, "to_numpy", None)
    return to_numpy() if callable(to_numpy) else column


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

    ids = _id_array(ids)
    if ids.dtype.kind in "fcmM":
        bad = np.flatnonzero(ids != ids)
        if bad.size:
            raise ValueError(f"{where}: row {bad[0]} has no id ({ids[bad[0]].item()!r}); every row needs one")
    if ids.dtype.kind in "iubfcmMUS":
        uniques, codes = _sorted_codes(ids)
    elif len(ids) and all(type(key) is str for key in ids):
        index: dict[Any, int] = {}
        codes = np.fromiter((index.setdefault(key, len(index)) for key in ids), dtype=np.intp, count=len(ids))
        uniques = list(index)
    else:
        uniques, codes = _hashed_codes(ids, where)
    order = np.argsort(codes, kind="stable")
    bounds = np.cumsum(np.bincount(codes, minlength=len(uniques)))[:-1]
    return uniques, np.split(order, bounds)


def _id_array(ids: Any) -> np.ndarray:
    """The ids as a 1-D array; element by element for other containers, so that
    tuple ids stay tuples."""
    import numpy as np

    if isinstance(ids, np.ndarray) and ids.ndim == 1:
        return ids
    keys = list(ids)
    out = np.empty(len(keys), dtype=object)
    for row, key in enumerate(keys):
        out[row] = key
    return out


def _sorted_codes(ids: np.ndarray) -> tuple[list[Any], np.ndarray]:
    """Ids of one type throughout and none missing: sorted, not hashed row by row."""
    import numpy as np

    _, first, codes = np.unique(ids, return_index=True, return_inverse=True)
    rank = np.empty(len(first), dtype=np.intp)
    rank[np.argsort(first, kind="stable")] = np.arange(len(first))
    firsts = ids[np.sort(first)]
    return (list(firsts) if ids.dtype.kind in "iub" else firsts.tolist()), rank[codes.ravel()]


def _hashed_codes(ids: np.ndarray, where: str) -> tuple[list[Any], np.ndarray]:
    """Objects of any kind, each checked: present, of the first id's type, hashable."""
    import numpy as np

    index: dict[Any, int] = {}
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
    return list(index), codes
