"""Tables of numbers shared by the formats: column names and their units, data rows,
and the spectra they hold."""

from __future__ import annotations

import re
import sys
import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from io import StringIO
from types import FrameType
from typing import Callable

import numpy as np

from kelvara.io._text import Source, fields, is_number, show, unquote
from kelvara.io._types import Spectrum

# --------------------------------------------------------------------------- column names

# A column name is stripped of white space and of its unit (after "/", in brackets or
# after "_"), lower-cased and looked up in these sets. A leading "-" marks a negated
# quantity.
FREQ = {"freq", "frequency", "f"}
REAL = {"zreal", "zre", "z'", "re(z)", "realimpedance", "real_impedance", "z_real", "real", "zr", "re"}
IMAG = {
    "zimag", "zimg", "zim", "z''", 'z"', "z′′", "im(z)", "imaginaryimpedance", "imaginary_impedance",
    "z_imag", "imag", "zi", "im",
}
ABS = {"|z|", "zmod", "z", "absoluteimpedance", "absolute_impedance", "zmag", "modulus"}
PHASE = {"phase", "phase(z)", "zphz", "zphase", "phaseangle", "phase_angle", "theta"}
CYCLE = {"cyclenumber", "zcycle", "cycle", "cyclecount", "cycle_count", "cycle_number", "sweep", "loop_index", "loop",
         "loopindex"}
_KINDS = (("f", FREQ), ("re", REAL), ("im", IMAG), ("abs", ABS), ("phase", PHASE))
KNOWN = FREQ | REAL | IMAG | ABS | PHASE | CYCLE

_SPLIT = re.compile(r"(.+?)(?:/([^/]*)|\(([^()]*)\)|\[([^\[\]]*)\]|_([^_/()\[\]]*))")
_PREFIX = {"m": 1e-3, "k": 1e3, "K": 1e3, "M": 1e6}  # case matters: mHz, MHz
_HERTZ = ("hz", "hertz")
_OHM = ("ohm", "ohms", "\u03c9")  # lower case of the omega and the ohm sign
_EXPECTED_UNITS = {
    "f": "Hz, mHz, kHz or MHz",
    "re": "ohm, mOhm, kOhm or MOhm", "im": "ohm, mOhm, kOhm or MOhm", "abs": "ohm, mOhm, kOhm or MOhm",
    "phase": "deg or rad",
}


def base(name: str) -> tuple[str, bool, str | None]:
    """The unit-free, lower-case key of a column name, whether it is negated, and its
    unit text (None when the name has none)."""
    compact = re.sub(r"\s+", "", unquote(name))
    negated = compact.startswith("-")
    if negated:
        compact = compact[1:]
    key = compact.lower()
    if key in KNOWN:
        return key, negated, None
    match = _SPLIT.fullmatch(compact)
    if match and match.group(1).lower() in KNOWN:
        unit = next(g for g in match.groups()[1:] if g is not None)
        return match.group(1).lower(), negated, unit
    return key, negated, None


def unit_scale(kind: str, unit: str | None) -> float | None:
    """Factor to Hz, ohm or radians of a unit of a quantity `kind`; None if unknown."""
    if unit is None:
        return np.pi / 180.0 if kind == "phase" else 1.0
    if kind == "phase":
        if unit.lower() in ("deg", "degree", "degrees", "\u00b0"):
            return np.pi / 180.0
        return 1.0 if unit.lower() in ("rad", "radian", "radians") else None
    names = _HERTZ if kind == "f" else _OHM
    if unit.lower() in names or (kind != "f" and unit.lower() in ("a", "b")):  # ZPlot's labels (a), (b)
        return 1.0
    if unit[:1] in _PREFIX and unit[1:].lower() in names:
        return _PREFIX[unit[0]]
    return None


@dataclass
class Columns:
    indices: list[int]  # frequency, then real/imag or modulus/phase
    scales: tuple[float, float, float]  # to Hz, ohm and radians, with the sign of negated columns
    polar: bool
    split: list[int]  # columns whose changes start a new sweep


def columns(src: Source, names: Sequence[str], header: int, *, split: bool = False,
            units: Sequence[str] | None = None) -> Columns:
    """Find the frequency and impedance columns among ``names`` (from 0-based line
    ``header``); `units`, when the format has a separate line of units, gives them."""
    found: dict[str, tuple[int, bool, str | None]] = {}
    cycles: list[int] = []
    for i, name in enumerate(names):
        key, negated, unit = base(name)
        if units is not None and unit is None and units[i]:
            unit = units[i]
        for kind, keys in _KINDS:
            if key in keys and kind not in found:
                found[kind] = (i, negated, unit)
        if key in CYCLE:
            cycles.append(i)
    if "f" in found:
        for a, b, polar in (("re", "im", False), ("abs", "phase", True)):
            if a in found and b in found:
                indices, scales = [], []
                for kind in ("f", a, b):
                    i, negated, unit = found[kind]
                    scale = unit_scale(kind, unit)
                    if scale is None:
                        raise src.error(header, f'expected a unit of {_EXPECTED_UNITS[kind]} for the column '
                                                f'"{names[i]}", found {show(unit or "")}')
                    indices.append(i)
                    scales.append(-scale if negated else scale)
                return Columns(indices, (scales[0], scales[1], scales[2]), polar, cycles if split else [])
    raise src.error(
        header,
        "expected a frequency column and the real and imaginary parts (or modulus and phase) "
        f"of the impedance, found {show(src.lines[header], 120)}",
    )


# --------------------------------------------------------------------------- tables


@dataclass
class Table:
    label: str  # "the ZCURVE table", used in messages
    names: list[str]
    header: int  # 0-based line of the column names (or of the first row if unnamed)
    indices: list[int]  # 0-based lines of the data rows
    rows: list[str]  # their text, stripped
    delimiter: str | None  # None: runs of white space


def rows(
    lines: list[str], start: int, stop: int, skip: Callable[[str], bool] | None = None, trailing: str = ""
) -> tuple[list[int], list[str]]:
    """Non-blank lines in ``lines[start:stop]``, stripped (also of ``trailing``
    delimiters), with their indices; ``skip`` leaves out more lines."""
    stop = min(stop, len(lines))
    if trailing:
        texts = [line.strip().rstrip(trailing).strip() for line in lines[start:stop]]
    else:
        texts = [line.strip() for line in lines[start:stop]]
    if all(texts) and (skip is None or not any(map(skip, texts))):
        return list(range(start, stop)), texts
    kept = [(i, text) for i, text in zip(range(start, stop), texts) if text and (skip is None or not skip(text))]
    return [i for i, _ in kept], [text for _, text in kept]


_GROUPED = re.compile(r"[+-]?\d{1,3}(?:,\d{3})+(?:\.\d*)?(?:[eE][+-]?\d+)?")


def _without_thousands(src: Source, table: Table, block: str, used: Sequence[int]) -> str:
    """Rows with both "," and ".": the commas must group thousands (100,000.5), and
    are removed; any other comma makes the decimal mark ambiguous and is refused."""
    for i, text in zip(table.indices, table.rows):
        values = fields(text, table.delimiter)
        for value in (values[c] for c in used if c < len(values)):
            if "," in value and not _GROUPED.fullmatch(value.strip()):
                raise src.error(i, f'expected "." as the decimal mark (the file has numbers with "."), found '
                                   f"{show(value)} in {table.label}")
    return block.replace(",", "")


def numbers(src: Source, table: Table, used: Sequence[int], finite: int) -> np.ndarray:
    """The ``used`` columns of the table rows as a float array (rows x len(used)).

    Every row must have the table's number of fields, and the first `finite` used
    columns must hold finite numbers. The rows are parsed in one go by numpy once
    their field counts are checked; only when that fails are they walked one by one
    to report the first bad line.
    """
    ncols = len(table.names)
    d = table.delimiter
    block = "\n".join(table.rows)
    decimal_comma = d != "," and "," in block and "." not in block
    if d != "," and "," in block and "." in block:
        block = _without_thousands(src, table, block, used)
    counts = [len(row.split()) for row in table.rows] if d is None else [row.count(d) + 1 for row in table.rows]
    short = next((k for k, count in enumerate(counts) if count != ncols), None)
    if short is not None:
        i = table.indices[short]
        raise src.error(i, f"expected {ncols} numeric columns of {table.label}, found {show(src.lines[i])}")
    if decimal_comma:
        block = block.replace(",", ".")
    data = None
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            data = np.loadtxt(
                StringIO(block), delimiter=d, usecols=list(used), ndmin=2, comments=None, dtype=np.float64
            )
    except ValueError:
        pass
    if data is None or data.shape != (len(table.rows), len(used)):
        for i, text in zip(table.indices, table.rows):
            values = fields(text.replace(",", ".") if decimal_comma else text, d)
            for c in used:
                if not is_number(values[c]):
                    raise src.error(
                        i, f'expected a number in the "{table.names[c]}" column of {table.label}, '
                        f"found {show(values[c])}"
                    )
        first = table.indices[0]  # pragma: no cover - numpy refused rows that each look fine
        raise src.error(first, f"expected numeric rows of {table.label}, found {show(src.lines[first])}")
    bad = np.argwhere(~np.isfinite(data[:, :finite]))
    if bad.size:
        row, column = (int(x) for x in bad[0])
        i, c = table.indices[row], used[column]
        value = fields(table.rows[row], d)[c]
        raise src.error(i, f'expected a finite number in the "{table.names[c]}" column of {table.label}, '
                           f"found {show(value)}")
    return data


def spectra(
    src: Source, table: Table, instrument: str, cols: Columns, *, skip_zero: bool = False
) -> list[Spectrum]:
    """Spectra from a table: one per run of rows with the same cycle values.

    Rows of zero frequency are not impedance points (the last row of an EC-Lab
    loop, records of other techniques in the same file): they are left out with a
    warning that names their lines. With ``skip_zero`` they also separate sweeps.
    """
    if not table.rows:
        raise src.end_error(f"the rows of {table.label}")
    data = numbers(src, table, cols.indices + cols.split, finite=3)
    s0, s1, s2 = cols.scales
    f = data[:, 0] * s0
    if cols.polar:
        z = (data[:, 1] * s1) * np.exp(1j * (data[:, 2] * s2))
    else:
        z = np.empty(len(f), dtype=np.complex128)
        z.real = data[:, 1] * s1
        z.imag = data[:, 2] * s2
    valid = f != 0
    if not valid.any():
        raise src.error(
            table.indices[0],
            f'expected impedance rows (a nonzero "{table.names[cols.indices[0]]}") in {table.label}, found none',
        )
    lines = np.asarray(table.indices)
    _report_left_out(src, lines[~valid] + 1)
    if not skip_zero:  # dropped without ending a sweep
        f, z, data, lines = f[valid], z[valid], data[valid], lines[valid]
        valid = valid[valid]
    n = len(f)
    new = valid.copy()
    new[1:] &= ~valid[:-1] | np.any(data[1:, 3:] != data[:-1, 3:], axis=1)
    starts = np.flatnonzero(new)
    ends = np.append(starts[1:], n)
    used = tuple(table.names[i] for i in cols.indices)
    found = []
    for k, (a, b) in enumerate(zip(starts, ends)):
        stop = a + int(np.argmin(valid[a:b])) if not valid[a:b].all() else b
        found.append(Spectrum(f[a:stop], z[a:stop], instrument, used, src.path, sweep=k, line=int(lines[a]) + 1))
    return found


def _report_left_out(src: Source, lines: np.ndarray) -> None:
    if lines.size:
        shown = ", ".join(str(line) for line in lines[:5]) + (", ..." if lines.size > 5 else "")
        warnings.warn(f"{src.path}: left out {lines.size} row{'s' if lines.size > 1 else ''} of zero frequency "
                      f"(not impedance points), at line{'s' if lines.size > 1 else ''} {shown}",
                      stacklevel=_outside_io())


def _outside_io() -> int:
    """The stack level of the first caller outside kelvara.io, for warnings."""
    frame: FrameType | None = sys._getframe(1)
    level = 1
    while frame is not None and str(frame.f_globals.get("__name__", "")).startswith("kelvara.io"):
        frame, level = frame.f_back, level + 1
    return level


def sniff(line: str) -> str | None:
    """The delimiter of a line: tab, semicolon or comma; None for white space."""
    for d in ("\t", ";", ","):
        if d in line:
            return d
    return None


def header_names(lines: list[str]) -> set[str]:
    """The names of the first non-blank line, for recognising ``.txt`` exports."""
    header = next((line for line in lines[:60] if line.strip()), "")
    return {unquote(x).strip() for x in header.split(sniff(header))}


def read_delimited(
    src: Source, instrument: str, *, skip_zero: bool = False, comments: bool = False, unnamed: bool = False
) -> list[Spectrum]:
    """A header line of column names (or, with ``unnamed``, none) followed by rows."""
    lines = src.lines

    def skip(text: str) -> bool:
        return comments and text.startswith("#")

    header = next((i for i, line in enumerate(lines) if line.strip() and not skip(line.strip())), None)
    if header is None:
        raise src.end_error("a line of column names or numeric rows")
    delimiter = sniff(lines[header])
    first = fields(lines[header], delimiter)
    label = "the data table"
    if unnamed and all(is_number(x) for x in first if x) and any(first):
        names = [f"column {k + 1}" for k in range(len(first))]
        if len(first) != 3:
            raise src.error(
                header,
                "expected a line of column names, or 3 unnamed numeric columns (frequency, real part, "
                f"imaginary part), found {show(lines[header])}",
            )
        indices, texts = rows(lines, header, len(lines), skip)
        table = Table(label, names, header, indices, texts, delimiter)
        cols = Columns([0, 1, 2], (1.0, 1.0, 1.0), False, [])
        return spectra(src, table, instrument, cols, skip_zero=skip_zero)
    names = [unquote(x) for x in first]
    trailing = ""
    while len(names) > 1 and not names[-1]:  # a trailing delimiter, also on the rows
        names.pop()
        trailing = delimiter or ""
    indices, texts = rows(lines, header + 1, len(lines), skip, trailing)
    table = Table(label, names, header, indices, texts, delimiter)
    cols = columns(src, names, header, split=instrument == "CSV")
    return spectra(src, table, instrument, cols, skip_zero=skip_zero)
