"""Helpers shared by bench_any_circuit.py and bench_sample_files.py: fitting a
circuit the user gave no values for, and telling circuits apart by topology.

A circuit without values of the user's is started from the data when the build
has ``Circuit.with_data_start``; otherwise ``Circuit.fit`` chooses its own start
(the trained network's guess for a trained topology, else the catalogue's
placeholder values, with a warning that is silenced here).
"""

from __future__ import annotations

import math
import re
import time
import warnings
from typing import Any

import kelvara

#: Errors a benchmark counts as a failed fit instead of stopping on. PanicException
#: derives from BaseException, so it is named on its own.
FIT_ERRORS: tuple[type[BaseException], ...] = (Exception, kelvara.PanicException)


def has_data_start() -> bool:
    """Whether this build can start a circuit from the data."""
    return hasattr(kelvara.Circuit, "with_data_start")


def start_mode() -> str:
    return "data start (Circuit.with_data_start)" if has_data_start() else \
        "default start of Circuit.fit (no Circuit.with_data_start in this build)"


def fit_unstarted(notation: str, f: Any, z: Any, data_start: bool | None = None, **fit_kwargs: Any) -> Any:
    """Fit `notation` with no values of the user's: from the data start when
    `data_start` (default: when the build has it), else from fit's default start."""
    circuit = kelvara.Circuit(notation)
    start = getattr(circuit, "with_data_start", None)
    if data_start is None:
        data_start = start is not None
    if data_start:
        if start is None:
            raise RuntimeError("this build has no Circuit.with_data_start")
        circuit = start(f, z)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # "There is no ML model to guess ..."
        return circuit.fit(f, z, **fit_kwargs)


def try_call(function: Any, *args: Any, **kwargs: Any) -> tuple[Any, float, str | None]:
    """(result or None, wall time in seconds, error text or None): a call that
    raises counts as a failure instead of ending the benchmark."""
    begin = time.perf_counter()
    try:
        result = function(*args, **kwargs)
    except FIT_ERRORS as error:  # noqa: B014 - PanicException is not an Exception
        return None, time.perf_counter() - begin, f"{type(error).__name__}: {error}"
    return result, time.perf_counter() - begin, None


def chi_square(result: Any) -> float:
    """A fit's chi-square, inf for a missing fit or a non-finite value."""
    if result is None:
        return math.inf
    value = result.chi_square
    return value if math.isfinite(value) else math.inf


def best_of(*results: Any) -> Any:
    """The fit of lowest chi-square among `results` (None entries skipped)."""
    present = [r for r in results if r is not None]
    return min(present, key=chi_square) if present else None


# --- topology ---------------------------------------------------------------------

_TOKEN = re.compile(r"p\(|[(),-]|[A-Za-z]+\d+")
_CODE = re.compile(r"([A-Za-z]+)\d+")
_SAME_KIND = {"CPE": "Cpe", "TLMQ": "Tlmq"}


def topology(notation: str) -> str:
    """A key equal for circuits that differ only in labels, in the order of series
    elements or of parallel branches, or in writing K / Zarc for (R,C) / (R,CPE).
    So a default candidate list that labels its elements differently still counts
    as choosing the generating circuit."""
    tokens = _TOKEN.findall(notation)
    if "".join(tokens) != notation:
        raise ValueError(f"cannot read the notation {notation!r}")
    position = 0

    def series() -> list[str]:
        nonlocal position
        items = item()
        while position < len(tokens) and tokens[position] == "-":
            position += 1
            items += item()
        return items

    def item() -> list[str]:
        nonlocal position
        token = tokens[position]
        position += 1
        if token in ("(", "p("):
            branches = [series()]
            while tokens[position] == ",":
                position += 1
                branches.append(series())
            position += 1  # ")"
            keys = ["-".join(sorted(b)) for b in branches]
            # a group of one branch is only brackets around a series
            return branches[0] if len(keys) == 1 else ["(" + ",".join(sorted(keys)) + ")"]
        code = _CODE.fullmatch(token).group(1)  # type: ignore[union-attr]
        code = _SAME_KIND.get(code, code)
        return {"K": ["(C,R)"], "Zarc": ["(Cpe,R)"]}.get(code, [code])

    try:
        key = "-".join(sorted(series()))
    except (IndexError, AttributeError):
        key = None
    if key is None or position != len(tokens):
        raise ValueError(f"cannot read the notation {notation!r}")
    return key
