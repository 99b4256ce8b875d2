"""Fitting many spectra on a Dask cluster.

Needs the optional extra ``pip install kelvara[dask]`` (dask[dataframe] and
distributed). ``import kelvara`` never imports Dask; this module does.

Two entry points, both lazy and map-partitions style: every partition is
fitted in one call of :func:`kelvara.fit_many` on whichever worker holds it,
and the result is a Dask DataFrame with one row per spectrum:

* :func:`fit_bag` takes a Dask bag whose items are ``(id, frequencies,
  impedances)`` tuples or dicts;
* :func:`fit_dataframe` takes a long-format Dask DataFrame: an id column and
  the battery-data-format columns ``"Frequency / Hz"``,
  ``"Real Impedance / ohm"`` and ``"Imaginary Impedance / ohm"`` (or any
  other column form ``Circuit.fit`` reads, such as modulus and phase).

Columns of the result, in this order: the id, ``success``, ``chi_square``,
``message``, one column per parameter (``"R0.r"``, ``"CPE1.q"``, ...), one
per standard error (``"R0.r_stderr"``, ...), the statistics ``n_free``,
``reduced_chi_square``, ``misfit``, ``aic``, ``aicc`` and ``bic``, the
``verdict`` and the ``flags`` (their codes joined by ";"), as in the summary
CSV of ``kelvara fit``. The verdict and flags cost each spectrum a linear
Kramers-Kronig fit for its noise level, tens of microseconds, a few percent of a
fit; ``flags=False`` leaves both columns out. The ``meta`` is built from the circuit alone, so
nothing is computed to infer it (see :func:`result_meta`).

The circuit is sent to the workers by pickle, once per task; the workers need
the same kelvara version as the client.

    from dask.distributed import Client
    import dask.dataframe as dd
    import kelvara, kelvara.dask

    client = Client("tcp://scheduler:8786")     # or Client(LocalCluster(...))
    ddf = dd.read_parquet("spectra/")           # cell, Frequency / Hz, ...
    results = kelvara.dask.fit_dataframe(ddf, kelvara.Circuit("two_rq"), "cell")
    results.to_parquet("fits/")
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import pandas as pd  # type: ignore[import-untyped]

import dask
import dask.dataframe as dd

import kelvara
from kelvara._batch import STATISTICS, check_errors, flag_codes, raise_first
from kelvara._measured import FREQUENCY, IMAGINARY, REAL, group_ids, spectrum, split

__all__ = ["fit_bag", "fit_dataframe", "result_meta", "FREQUENCY", "REAL", "IMAGINARY"]

# --------------------------------------------------------------------------- result frames


def _pyarrow_strings() -> bool:
    try:
        from dask.dataframe.utils import pyarrow_strings_enabled
    except ImportError:  # Dask before 2023.7 keeps text as object
        return False
    return bool(pyarrow_strings_enabled())


def _message_dtype() -> Any:
    # Dask's own choice for text: pyarrow strings where it converts to them (its default),
    # otherwise what pandas gives a column of text (object before pandas 3, "str" from 3 on).
    if _pyarrow_strings():
        return pd.StringDtype("pyarrow")
    return pd.Series([""]).dtype


def result_meta(circuit: kelvara.Circuit, id_name: str = "id", id_dtype: Any = object,
                flags: bool = True) -> pd.DataFrame:
    """The empty DataFrame describing the result of :func:`fit_bag` / :func:`fit_dataframe`.

    Parameters
    ----------
    circuit : kelvara.Circuit
        Only its parameter names are used.
    id_name : str
        Name of the id column.
    id_dtype : dtype
        Its dtype (object for arbitrary ids).
    flags : bool
        Include the ``verdict`` and ``flags`` columns.
    """
    names = circuit.param_names()
    taken = {"success", "chi_square", "message", *names, *(f"{name}_stderr" for name in names), *STATISTICS,
             "verdict", "flags"}
    if id_name in taken:
        raise ValueError(f"the id column {id_name!r} has the name of a result column; rename it "
                         f"(result columns: success, chi_square, message, the parameters, their standard "
                         f"errors, the statistics, verdict and flags)")
    text = _message_dtype()
    columns: dict[str, pd.Series] = {
        id_name: pd.Series([], dtype=id_dtype),
        "success": pd.Series([], dtype=bool),
        "chi_square": pd.Series([], dtype=np.float64),
        "message": pd.Series([], dtype=text),
    }
    for name in names:
        columns[name] = pd.Series([], dtype=np.float64)
    for name in names:
        columns[f"{name}_stderr"] = pd.Series([], dtype=np.float64)
    # n_free is missing (<NA>) where a spectrum failed with an exception
    columns["n_free"] = pd.Series([], dtype="Int64")
    for name in STATISTICS[1:]:
        columns[name] = pd.Series([], dtype=np.float64)
    if flags:
        columns["verdict"] = pd.Series([], dtype=text)
        columns["flags"] = pd.Series([], dtype=text)
    return pd.DataFrame(columns)


def _results_frame(meta: pd.DataFrame, ids: list, results: list, names: list[str]) -> pd.DataFrame:
    """One row per fit, with exactly the columns and dtypes of `meta`.

    A slot holding an exception (errors="return") gives success False, the
    exception as the message, NaN numbers, verdict "failed" and no flags. The
    verdict and flags are worked out only where `meta` has their columns."""
    with_flags = "flags" in meta.columns
    n = len(results)
    success = np.zeros(n, dtype=bool)
    chi = np.full(n, math.nan)
    values = np.full((n, len(names)), math.nan)
    errors = np.full((n, len(names)), math.nan)
    n_free: list[Any] = [pd.NA] * n
    statistics = np.full((n, len(STATISTICS) - 1), math.nan)
    messages, verdicts, flags = [], [], []
    for i, r in enumerate(results):
        if isinstance(r, BaseException):
            messages.append(f"{type(r).__name__}: {r}")
            verdicts.append("failed")
            flags.append("")
            continue
        success[i] = r.success
        chi[i] = r.chi_square
        messages.append(r.message)
        params = r.params
        values[i] = [params[name] for name in names]
        stderr = r.stderr
        if stderr is not None:
            errors[i] = [stderr.get(name, math.nan) for name in names]
        n_free[i] = r.n_free
        statistics[i] = [getattr(r, name) for name in STATISTICS[1:]]
        if with_flags:
            verdicts.append(r.verdict)
            flags.append(flag_codes(r))
    id_name = meta.columns[0]
    text = meta["message"].dtype
    columns: dict[str, Any] = {
        id_name: pd.Series(ids, dtype=meta[id_name].dtype),
        "success": success,
        "chi_square": chi,
        "message": pd.Series(messages, dtype=text),
    }
    for k, name in enumerate(names):
        columns[name] = values[:, k]
    for k, name in enumerate(names):
        columns[f"{name}_stderr"] = errors[:, k]
    columns["n_free"] = pd.Series(n_free, dtype="Int64")
    for k, name in enumerate(STATISTICS[1:]):
        columns[name] = statistics[:, k]
    if with_flags:
        columns["verdict"] = pd.Series(verdicts, dtype=text)
        columns["flags"] = pd.Series(flags, dtype=text)
    return pd.DataFrame(columns, columns=meta.columns)


def _fit_many(circuit: kelvara.Circuit, ids: list, spectra: list, errors: str, fit_kwargs: dict) -> list:
    results = kelvara.fit_many(circuit, spectra, errors="return", **fit_kwargs) if spectra else []
    if errors == "raise":
        raise_first(results, lambda index: repr(ids[index]))
    return results


# --------------------------------------------------------------------------- bags


def _item(item: Any) -> tuple[Any, Any, Any]:
    """(id, frequencies, impedances) of a bag item: impedances None for a spectrum
    given as battery-data-format keys, which the fit reads as a dataframe. A
    ``kelvara.io.Spectrum`` (a sweep of a file, as ``io.read_all`` gives them) is
    its own item, with the id "<path>#<sweep>"."""
    from kelvara.io import Spectrum

    if isinstance(item, Spectrum):
        return f"{item.path}#{item.sweep}", item.frequencies, item.impedances
    if isinstance(item, dict):
        try:
            key = item["id"]
        except KeyError:
            raise ValueError(f"a spectrum dict needs an 'id' key, got keys {list(item)}") from None
        if "frequencies" in item:
            return key, item["frequencies"], item.get("impedances")
        return key, item, None
    try:
        key, f, z = item
    except (TypeError, ValueError):
        raise ValueError(
            f"bag items must be (id, frequencies, impedances) tuples, dicts or kelvara.io.Spectrum objects, "
            f"got {type(item).__name__}"
        ) from None
    return key, f, z


def _fit_items(items: Any, circuit: kelvara.Circuit, meta: pd.DataFrame, errors: str,
               fit_kwargs: dict) -> pd.DataFrame:
    parsed = [_item(item) for item in items]
    ids = [key for key, _, _ in parsed]
    group_ids(ids, "the bag's ids")  # refuses missing and mixed-type ids
    results = _fit_many(circuit, ids, [(f, z) for _, f, z in parsed], errors, fit_kwargs)
    return _results_frame(meta, ids, results, circuit.param_names())


def fit_bag(bag: Any, circuit: kelvara.Circuit, *, errors: str = "raise", id_dtype: Any = object,
            flags: bool = True, **fit_kwargs: Any) -> dd.DataFrame:
    """Fit every spectrum of a Dask bag.

    Parameters
    ----------
    bag : dask.bag.Bag
        Items are ``(id, frequencies, impedances)`` tuples, or dicts with an
        ``"id"`` and either ``"frequencies"`` and ``"impedances"`` or the
        battery-data-format keys in any column form ``Circuit.fit`` reads.
    circuit : kelvara.Circuit
        Fitted to every spectrum; its values, if set, are the start.
    errors : {"raise", "return"}
        "raise": the first failing spectrum fails the computation. "return":
        its row has ``success`` False, the exception as ``message`` and NaN
        numbers.
    id_dtype : dtype
        dtype of the ``id`` column (object by default, which holds any id).
    flags : bool
        Work out each fit's ``verdict`` and ``flags`` (a linear Kramers-Kronig fit
        per spectrum for its noise level); False leaves both columns out.
    **fit_kwargs
        Passed on to :func:`kelvara.fit_many` and so to ``Circuit.fit``
        (``method``, ``weight``, ``max_iterations``, ``seed``, ...).

    Returns
    -------
    dask.dataframe.DataFrame
        One row per item, in bag order; the columns are those of
        :func:`result_meta` with the id column named ``"id"``.
    """
    check_errors(errors)
    meta = result_meta(circuit, "id", id_dtype, flags)
    fit = dask.delayed(_fit_items, pure=True)
    parts = [fit(part, circuit, meta, errors, fit_kwargs) for part in bag.to_delayed()]
    # Dask would turn an object id column into strings; ids such as (cell, cycle) tuples
    # or integers are to come back as they went in.
    with dask.config.set({"dataframe.convert-string": False}):
        return dd.from_delayed(parts, meta=meta, verify_meta=False)


# --------------------------------------------------------------------------- dataframes


def _partition_ids(pdf: pd.DataFrame, id_column: str) -> pd.Series | pd.Index:
    if id_column in pdf.columns:
        return pdf[id_column]
    if pdf.index.name == id_column:
        return pdf.index
    raise KeyError(f"no column or index named {id_column!r}; columns: {list(pdf.columns)}")


def _unique_ids(pdf: pd.DataFrame, id_column: str) -> np.ndarray:
    return pd.unique(np.asarray(_partition_ids(pdf, id_column)))


def _check_disjoint(per_partition: list) -> None:
    seen: dict[Any, int] = {}
    straddling: dict[Any, list[int]] = {}
    for p, ids in enumerate(per_partition):
        for key in ids:
            first = seen.setdefault(key, p)
            if first != p:
                straddling.setdefault(key, [first]).append(p)
    if straddling:
        shown = ", ".join(f"{key!r} (partitions {parts})" for key, parts in list(straddling.items())[:5])
        more = f" and {len(straddling) - 5} more" if len(straddling) > 5 else ""
        raise ValueError(
            f"{len(straddling)} spectra are split over several partitions: {shown}{more}. Put all "
            f"rows of a spectrum in one partition, e.g. ddf.shuffle(on=id_column) (or pass "
            f"shuffle=True) or ddf.set_index(id_column)"
        )


def _fit_partition(pdf: pd.DataFrame, circuit: kelvara.Circuit, id_column: str, meta: pd.DataFrame,
                   errors: str, fit_kwargs: dict, _layout_checked: Any = None) -> pd.DataFrame:
    names = circuit.param_names()
    if len(pdf) == 0:
        return _results_frame(meta, [], [], names)
    # ids in order of first appearance; rows of one spectrum keep their order
    ids, spectra = split(pdf, np.asarray(_partition_ids(pdf, id_column)), f"the id column {id_column!r}")
    results = _fit_many(circuit, ids, spectra, errors, fit_kwargs)
    return _results_frame(meta, ids, results, names)


def _check_columns(ddf: dd.DataFrame) -> None:
    """Refuses, before any work, a frame without the spectrum columns the fit reads
    (or with columns that are not numeric), in the fit's own words: dask's stand-in
    rows of the frame's dtypes go through the fit's reading."""
    try:
        from dask.dataframe.utils import meta_nonempty
    except ImportError:  # a Dask without it: the partitions' own reading reports
        return
    spectrum(meta_nonempty(ddf._meta))


def fit_dataframe(ddf: dd.DataFrame, circuit: kelvara.Circuit, id_column: str, *, shuffle: bool = False,
                  check: bool = True, errors: str = "raise", flags: bool = True,
                  **fit_kwargs: Any) -> dd.DataFrame:
    """Fit every spectrum of a long-format Dask DataFrame.

    Parameters
    ----------
    ddf : dask.dataframe.DataFrame
        One row per measured point: the id column (or the index, if it has
        that name) and the columns ``"Frequency / Hz"``,
        ``"Real Impedance / ohm"`` and ``"Imaginary Impedance / ohm"``, or any
        other column form ``Circuit.fit`` reads. Other columns are ignored.
        Within a spectrum, rows keep their order; rows whose frequency is not
        positive are dropped, as ``Circuit.fit`` drops them. A frame without
        the spectrum columns raises ValueError before any work.
    circuit : kelvara.Circuit
        Fitted to every spectrum; its values, if set, are the start.
    id_column : str
        Names the spectrum of each row.
    shuffle : bool
        Shuffle the rows on the id column first, so that every spectrum lies
        in one partition. Costs a shuffle of the whole data set; not needed
        when the data were written one spectrum per partition, or after
        ``ddf.set_index(id_column)``.
    check : bool
        Spectra must not straddle partitions. Unless ``shuffle=True``, a
        cheap pass over the id column runs before the first fit, and the
        computation raises ``ValueError`` naming the split spectra.
        ``check=False`` skips that pass (for data laid out one spectrum per
        partition, say); a split spectrum then gives one row per piece.
    errors : {"raise", "return"}
        As for :func:`fit_bag`.
    flags : bool
        As for :func:`fit_bag`.
    **fit_kwargs
        Passed on to :func:`kelvara.fit_many` and so to ``Circuit.fit``.

    Returns
    -------
    dask.dataframe.DataFrame
        One row per spectrum, partition by partition and within a partition
        in order of first appearance; the id column keeps the name and dtype
        of ``id_column``, the other columns are those of :func:`result_meta`.
    """
    check_errors(errors)
    if shuffle:
        if id_column not in ddf.columns:
            ddf = ddf.reset_index()
        ddf = ddf.shuffle(on=id_column)
    in_index = id_column not in ddf.columns and ddf.index.name == id_column
    if not in_index and id_column not in ddf.columns:
        raise KeyError(f"no column or index named {id_column!r}; columns: {list(ddf.columns)}")
    _check_columns(ddf)

    id_dtype = ddf.index.dtype if in_index else ddf[id_column].dtype
    meta = result_meta(circuit, id_column, id_dtype, flags)
    args: list = [circuit, id_column, meta, errors, fit_kwargs]
    if check and not shuffle and ddf.npartitions > 1:
        ids = ddf.index.to_frame() if in_index else ddf[[id_column]]
        census = [dask.delayed(_unique_ids, pure=True)(part, id_column) for part in ids.to_delayed()]
        args.append(dask.delayed(_check_disjoint, pure=True)(census))
    return ddf.map_partitions(_fit_partition, *args, meta=meta, enforce_metadata=False)
