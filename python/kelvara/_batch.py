"""kelvara.fit_many: one circuit fitted to many spectra on every core; and the one
batch loop of the package's many-spectra functions (fit_many, drt_many, the Dask
partitions): the spectra read from their many forms, run by the core with progress
and interrupt, and the first failure raised or every failure returned."""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING, Any, Callable, Iterable, NoReturn, Sequence

from kelvara._measured import items

if TYPE_CHECKING:
    from kelvara._core import Circuit, FitResult

#: Columns after the parameters and standard errors in the Dask frames and the
#: command line's summary CSV: the fit statistics, then "verdict" and "flags".
STATISTICS = ("n_free", "reduced_chi_square", "misfit", "aic", "aicc", "bic")

ERRORS = ("raise", "return")


def flag_codes(result: Any) -> str:
    """The codes of a fit's flags joined by ';' (empty for a clean fit)."""
    return ";".join(flag.code for flag in result.flags)


def check_errors(errors: str) -> None:
    if errors not in ERRORS:
        raise ValueError(f'errors must be "raise" or "return", got {errors!r}')


def raise_named(error: BaseException, label: str) -> NoReturn:
    """Raises `error` with "spectrum <label>: " before its message (the same type,
    caused by it), or as it is when its type cannot be built from a message."""
    try:
        named = type(error)(f"spectrum {label}: {error}")
    except Exception:
        raise error from None
    raise named from error


def raise_first(results: Sequence[Any], label: Callable[[int], str] = str) -> None:
    """Raises the first exception among `results`, named by ``label(index)``."""
    for index, result in enumerate(results):
        if isinstance(result, BaseException):
            raise_named(result, label(index))


def _progress_bar(noun: str) -> Callable[[int, int], None]:
    def show(done: int, total: int) -> None:
        print(f"\r{noun} {done}/{total}", end="\n" if done == total else "", file=sys.stderr, flush=True)
    return show


def run(many: Callable[..., list[Any]], pairs: list[tuple[Any, Any]], noun: str, errors: str,
        progress: bool | Callable[[int, int], object] | None, **settings: Any) -> list[Any]:
    """``many(frequencies, impedances, progress=..., **settings)`` of the core on the
    spectra `pairs` (one result or exception per spectrum, in order), on every core
    with the interpreter released; `progress` True draws "<noun> done/total" on
    stderr. With `errors` "raise" the first failure is raised once all ran."""
    check_errors(errors)
    callback = _progress_bar(noun) if progress is True else (progress or None)
    results = many([f for f, _ in pairs], [z for _, z in pairs], progress=callback, **settings)
    if errors == "raise":
        raise_first(results)
    return results


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
        A sequence of ``(frequencies, impedances)`` pairs or single spectra
        (``kelvara.io.Spectrum`` objects, dataframes with battery-data-format
        columns); or a 1-D frequency vector shared by the rows of the 2-D
        `impedances`; or, with `id_column`, a long-format dataframe with
        battery-data-format columns and a spectrum id column (spectra in order
        of first appearance of their id).
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
    check_errors(errors)
    return run(circuit._fit_many, items(spectra, impedances, id_column), "fitted", errors, progress,  # type: ignore[attr-defined]
               **fit_kwargs)


__all__: Sequence[str] = ["fit_many"]
