"""Read measured impedance spectra from instrument files.

>>> import kelvara, kelvara.io
>>> spectrum = kelvara.io.read("cell.DTA")          # doctest: +SKIP
>>> f, z = spectrum                                 # doctest: +SKIP
>>> kelvara.Circuit("R0-p(R1,CPE1)").fit(*spectrum) # doctest: +SKIP

Supported files (``format=`` names in :data:`FORMATS`):

========================  ===============  ====================================================
format                    usual extension  impedance columns
========================  ===============  ====================================================
``"gamry"``               .DTA             every ``ZCURVE`` table: ``Freq``, ``Zreal``, ``Zimag``
``"biologic"``            .mpt             ``freq/Hz``, ``Re(Z)/Ohm``, ``-Im(Z)/Ohm``
``"zplot"``               .z               ``Freq(Hz)``, ``Z'(a)``, ``Z''(b)``
``"autolab"``             .txt             NOVA: ``Frequency (Hz)``, ``Z' (Ω)``, ``-Z'' (Ω)``;
                                           or the ZView-style "Z60W Data File" layout
``"chinstruments"``       .txt             ``Freq/Hz``, ``Z'/ohm``, ``Z"/ohm``
``"parstat"``             .txt             ``Frequency (Hz)``, ``Zre (ohms)``, ``Zim (ohms)``
``"powersuite"``          .txt             ``Frequency``, ``Zre``, ``Zimg``
``"versastudio"``         .par             ``Frequency(Hz)``, ``Z Real``, ``Z Imag`` per segment
``"csv"``                 .csv, .tsv, ...  battery-data-format names, or three unnamed columns
========================  ===============  ====================================================

Impedances always come out with the usual sign: a capacitive arc has a negative
imaginary part. A column whose name starts with a minus sign (``-Im(Z)/Ohm``,
``-Z''``, ``-Phase``) holds the negated quantity and is negated back.

The format is recognised from the first lines of the file (the signature lines
of Gamry, EC-Lab, ZPlot and VersaStudio exports, the column names of the
``.txt`` exports), then from the extension; ``format=`` forces one.

A file holds several sweeps when it has several Gamry ``ZCURVE`` tables or
VersaStudio segments, when a cycle column (EC-Lab's ``cycle number`` or
``z cycle``, a CSV ``Cycle Count / 1``) changes value, or when Parstat or
EC-Lab impedance rows are interrupted by rows of zero frequency (records of
another technique). Files cut short at a row boundary, such as aborted
measurements, give the rows present; a row cut in the middle is an error.
Text that is not UTF-8 is read as Windows-1252.
"""

from __future__ import annotations

import os
import re
import warnings
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, replace
from io import StringIO
from typing import Any, Callable, Union

import numpy as np

__all__ = ["FORMATS", "ReadError", "Spectrum", "read", "read_all", "to_frame"]

_PathLike = Union[str, "os.PathLike[str]"]

FORMATS: tuple[str, ...] = (
    "gamry",
    "biologic",
    "zplot",
    "autolab",
    "chinstruments",
    "parstat",
    "powersuite",
    "versastudio",
    "csv",
)

_INSTRUMENT = {
    "gamry": "Gamry",
    "biologic": "BioLogic",
    "zplot": "ZPlot",
    "autolab": "Autolab",
    "chinstruments": "CH Instruments",
    "parstat": "Parstat",
    "powersuite": "PowerSuite",
    "versastudio": "VersaStudio",
    "csv": "CSV",
}

_EXTENSIONS = {".dta": "gamry", ".mpt": "biologic", ".z": "zplot", ".par": "versastudio", ".csv": "csv", ".tsv": "csv"}


# --------------------------------------------------------------------------- public types


class ReadError(ValueError):
    """A file that is not a well-formed file of the expected format.

    The message reads ``"<path>, line <n>: expected ..., found ..."``; the path
    and the 1-based line number are also kept as attributes.
    """

    def __init__(self, path: str, line: int, detail: str) -> None:
        super().__init__(f"{path}, line {line}: {detail}")
        self.path = path
        self.line = line
        self.detail = detail

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.path, self.line, self.detail))


@dataclass(frozen=True, eq=False, repr=False)
class Spectrum:
    """One impedance sweep read from a file.

    Attributes
    ----------
    frequencies : numpy.ndarray
        Frequencies in Hz (float64, read-only).
    impedances : numpy.ndarray
        Complex impedances in ohm (complex128, read-only); capacitive arcs have
        negative imaginary parts.
    instrument : str
        The instrument software the file came from, e.g. ``"Gamry"`` or ``"CSV"``.
    columns : tuple of str
        The source column names used: frequency, then real and imaginary part
        (or modulus and phase).
    path : str
        The file, as given to :func:`read` or :func:`read_all`.
    sweep : int
        0-based index of this sweep within the file.
    line : int
        1-based line of the first data row of the sweep.

    Iterating gives ``frequencies`` then ``impedances``, so ``f, z = spectrum``
    and ``circuit.fit(*spectrum)`` work; ``len(spectrum)`` is the number of points.
    """

    frequencies: np.ndarray
    impedances: np.ndarray
    instrument: str
    columns: tuple[str, ...]
    path: str
    sweep: int = 0
    line: int = 1

    def __post_init__(self) -> None:
        f = np.array(self.frequencies, dtype=np.float64)
        z = np.array(self.impedances, dtype=np.complex128)
        if f.ndim != 1 or f.shape != z.shape:
            raise ValueError(
                f"frequencies and impedances must be one-dimensional and of the same length, "
                f"got shapes {f.shape} and {z.shape}"
            )
        f.setflags(write=False)
        z.setflags(write=False)
        object.__setattr__(self, "frequencies", f)
        object.__setattr__(self, "impedances", z)
        object.__setattr__(self, "columns", tuple(self.columns))

    def __iter__(self) -> Iterator[np.ndarray]:
        yield self.frequencies
        yield self.impedances

    def __len__(self) -> int:
        return len(self.frequencies)

    def __repr__(self) -> str:
        f = self.frequencies
        span = f" from {f[0]:g} to {f[-1]:g} Hz" if len(f) else ""
        return (
            f"Spectrum({self.instrument}, {len(f)} points{span}, sweep {self.sweep} "
            f"of {self.path!r} at line {self.line}, columns {self.columns!r})"
        )


# --------------------------------------------------------------------------- public functions


def read_all(path: _PathLike, *, format: str | None = None) -> list[Spectrum]:
    """Read every sweep of an instrument file, in file order.

    Parameters
    ----------
    path : str or path-like
        The file.
    format : str, optional
        One of :data:`FORMATS`; by default recognised from the content and the
        extension of the file.

    Returns
    -------
    list of Spectrum

    Raises
    ------
    FileNotFoundError
        If the file does not exist.
    ReadError
        (a ``ValueError``) if the file is malformed or truncated; the message
        names the file and the line.
    """
    name = os.fspath(path)
    if not isinstance(name, str):
        name = os.fsdecode(name)
    if format is not None:
        format = _format_name(format)
    with open(name, "rb") as handle:
        data = handle.read()
    src = _Source(name, _split_lines(_decode(data)))
    if format is None:
        format = _detect(name, src.lines)
    return _READERS[format](src)


def read(path: _PathLike, *, format: str | None = None) -> Spectrum:
    """Read the only sweep of an instrument file.

    Parameters are those of :func:`read_all`. A file holding several sweeps
    raises ``ValueError``: read those with :func:`read_all`.
    """
    spectra = read_all(path, format=format)
    if len(spectra) != 1:
        raise ValueError(
            f"{spectra[0].path} holds {len(spectra)} sweeps, read() returns one: "
            f"use kelvara.io.read_all() to get all {len(spectra)}"
        )
    return spectra[0]


def to_frame(spectrum: Spectrum, library: str = "pandas") -> Any:
    """A dataframe with battery-data-format columns.

    The columns are ``"Frequency / Hz"``, ``"Real Impedance / ohm"`` and
    ``"Imaginary Impedance / ohm"``, which :meth:`kelvara.Circuit.fit` accepts
    as a single argument.

    Parameters
    ----------
    spectrum : Spectrum
    library : {"pandas", "polars"}

    Returns
    -------
    pandas.DataFrame or polars.DataFrame
    """
    if library not in ("pandas", "polars"):
        raise ValueError(f'library must be "pandas" or "polars", got {library!r}')
    try:
        module = __import__(library)
    except ImportError as error:
        raise ImportError(
            f'kelvara.io.to_frame(library="{library}") needs {library}, which is not installed: '
            f"pip install {library}"
        ) from error
    z = spectrum.impedances
    columns = {
        "Frequency / Hz": np.array(spectrum.frequencies),
        "Real Impedance / ohm": z.real.copy(),
        "Imaginary Impedance / ohm": z.imag.copy(),
    }
    return module.DataFrame(columns)


# --------------------------------------------------------------------------- text handling


@dataclass
class _Source:
    path: str
    lines: list[str]

    def error(self, index: int, detail: str) -> ReadError:
        """An error at 0-based line ``index`` (clamped to the file)."""
        last = max(len(self.lines), 1)
        return ReadError(self.path, min(max(index + 1, 1), last), detail)

    def end_error(self, expected: str) -> ReadError:
        return self.error(len(self.lines) - 1, f"expected {expected}, found the end of the file")


def _decode(data: bytes) -> str:
    """Text of a file: UTF-8 (with or without BOM) or UTF-16 with BOM; anything else is
    taken as Windows-1252, the usual encoding of instrument exports."""
    if data.startswith((b"\xff\xfe", b"\xfe\xff")):
        return data.decode("utf-16", errors="replace")
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError:
        return data.decode("cp1252", errors="replace")


def _split_lines(text: str) -> list[str]:
    # Line numbers follow the "\n" count (as grep and most editors do); a bare "\r"
    # separates lines only in files that have no "\n" at all.
    if "\n" not in text:
        lines = text.split("\r")
    elif "\r" in text:
        lines = [line.rstrip("\r") for line in text.split("\n")]
    else:
        lines = text.split("\n")
    while len(lines) > 1 and not lines[-1].strip():
        lines.pop()
    return lines


def _show(text: str, limit: int = 60) -> str:
    """Quote a piece of the file for an error message."""
    shown = text.replace("\\", "\\\\").replace('"', '\\"').replace("\t", "\\t").replace("\r", "\\r")
    if len(shown) > limit:
        shown = shown[:limit] + "..."
    return f'"{shown}"'


def _unquote(text: str) -> str:
    text = text.strip()
    if len(text) >= 2 and text[0] == text[-1] and text[0] in "\"'":
        text = text[1:-1].strip()
    return text


def _fields(text: str, delimiter: str | None) -> list[str]:
    return [field.strip() for field in text.strip().split(delimiter)]


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


# --------------------------------------------------------------------------- column names

# A column name is lower-cased, stripped of white space and of its unit, then looked
# up in these sets. A leading "-" marks a negated quantity.
_UNIT = re.compile(r"(?:/|\(|\[|_)(?:ohms?|ω|hz|hertz|deg(?:rees?)?|°|a|b|1)[)\]]?$")
_ANY_UNIT = re.compile(r"(?:/[^/]*|\([^()]*\)|\[[^\[\]]*\])$")

_FREQ = {"freq", "frequency", "f"}
_REAL = {"zreal", "zre", "z'", "re(z)", "realimpedance", "real_impedance", "z_real", "real", "zr", "re"}
_IMAG = {
    "zimag", "zimg", "zim", "z''", 'z"', "z′′", "im(z)", "imaginaryimpedance", "imaginary_impedance",
    "z_imag", "imag", "zi", "im",
}
_ABS = {"|z|", "zmod", "z", "absoluteimpedance", "absolute_impedance", "zmag", "modulus"}
_PHASE = {"phase", "phase(z)", "zphz", "zphase", "phaseangle", "phase_angle", "theta"}
_CYCLE = {"cyclenumber", "zcycle", "cycle", "cyclecount", "cycle_count", "cycle_number", "sweep"}
_KNOWN = _FREQ | _REAL | _IMAG | _ABS | _PHASE | _CYCLE


def _base(name: str) -> tuple[str, bool]:
    """The unit-free, lower-case key of a column name and whether it is negated."""
    key = re.sub(r"\s+", "", _unquote(name)).lower()
    negated = key.startswith("-")
    if negated:
        key = key[1:]
    for pattern in (_UNIT, _ANY_UNIT):
        stripped = pattern.sub("", key)
        if stripped != key and stripped in _KNOWN:
            return stripped, negated
    return key, negated


@dataclass
class _Columns:
    indices: list[int]  # frequency, then real/imag or modulus/phase
    signs: tuple[float, float, float]
    polar: bool
    split: list[int]  # columns whose changes start a new sweep


def _columns(src: _Source, names: Sequence[str], header: int, *, split: bool = False) -> _Columns:
    """Find the frequency and impedance columns among ``names`` (from 0-based line ``header``)."""
    found: dict[str, tuple[int, bool]] = {}
    cycles: list[int] = []
    for i, name in enumerate(names):
        key, negated = _base(name)
        for kind, keys in (("f", _FREQ), ("re", _REAL), ("im", _IMAG), ("abs", _ABS), ("phase", _PHASE)):
            if key in keys and kind not in found:
                found[kind] = (i, negated)
        if key in _CYCLE:
            cycles.append(i)
    if "f" in found:
        for a, b, polar in (("re", "im", False), ("abs", "phase", True)):
            if a in found and b in found:
                (i0, n0), (i1, n1), (i2, n2) = found["f"], found[a], found[b]
                signs = (-1.0 if n0 else 1.0, -1.0 if n1 else 1.0, -1.0 if n2 else 1.0)
                return _Columns([i0, i1, i2], signs, polar, cycles if split else [])
    raise src.error(
        header,
        "expected a frequency column and the real and imaginary parts (or modulus and phase) "
        f"of the impedance, found {_show(src.lines[header], 120)}",
    )


# --------------------------------------------------------------------------- tables


@dataclass
class _Table:
    label: str  # "the ZCURVE table", used in messages
    names: list[str]
    header: int  # 0-based line of the column names (or of the first row if unnamed)
    indices: list[int]  # 0-based lines of the data rows
    rows: list[str]  # their text, stripped
    delimiter: str | None  # None: runs of white space


def _rows(
    lines: list[str], start: int, stop: int, skip: Callable[[str], bool] | None = None, trailing: str = ""
) -> tuple[list[int], list[str]]:
    """Non-blank lines in ``lines[start:stop]``, stripped (also of ``trailing``
    delimiters), with their indices; ``skip`` leaves out more lines."""
    stop = min(stop, len(lines))
    if trailing:
        rows = [line.strip().rstrip(trailing).strip() for line in lines[start:stop]]
    else:
        rows = [line.strip() for line in lines[start:stop]]
    if all(rows) and (skip is None or not any(map(skip, rows))):
        return list(range(start, stop)), rows
    kept = [(i, text) for i, text in zip(range(start, stop), rows) if text and (skip is None or not skip(text))]
    return [i for i, _ in kept], [text for _, text in kept]


def _numbers(src: _Source, table: _Table, used: Sequence[int]) -> np.ndarray:
    """The ``used`` columns of the table rows as a float array (rows x len(used)).

    The rows are parsed in one go by numpy; only when that fails are they walked
    one by one to report the first bad line.
    """
    ncols = len(table.names)
    nrows = len(table.rows)
    d = table.delimiter
    block = "\n".join(table.rows)
    if d is None:
        consistent = len(block.split()) == nrows * ncols
    else:
        consistent = block.count(d) == nrows * (ncols - 1)
    decimal_comma = d != "," and "," in block
    if decimal_comma:
        block = block.replace(",", ".")
    if consistent:
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                data = np.loadtxt(
                    StringIO(block), delimiter=d, usecols=list(used), ndmin=2, comments=None, dtype=np.float64
                )
            if data.shape == (nrows, len(used)):
                return data
        except ValueError:
            pass
    for i, text in zip(table.indices, table.rows):
        fields = _fields(text.replace(",", ".") if decimal_comma else text, d)
        if len(fields) != ncols:
            raise src.error(
                i, f"expected {ncols} numeric columns of {table.label}, found {_show(src.lines[i])}"
            )
        for c in used:
            if not _is_number(fields[c]):
                raise src.error(
                    i, f'expected a number in the "{table.names[c]}" column of {table.label}, '
                    f"found {_show(fields[c])}"
                )
    first = table.indices[0]  # pragma: no cover - numpy refused rows that each look fine
    raise src.error(first, f"expected numeric rows of {table.label}, found {_show(src.lines[first])}")


def _spectra(
    src: _Source, table: _Table, instrument: str, cols: _Columns, *, skip_zero: bool = False
) -> list[Spectrum]:
    """Spectra from a table: one per run of rows with the same cycle values.

    With ``skip_zero``, rows of zero frequency (records of other techniques in
    the same file) are left out and also separate sweeps.
    """
    if not table.rows:
        raise src.end_error(f"the rows of {table.label}")
    data = _numbers(src, table, cols.indices + cols.split)
    s0, s1, s2 = cols.signs
    f = data[:, 0] * s0
    if cols.polar:
        z = (data[:, 1] * s1) * np.exp(1j * np.deg2rad(data[:, 2] * s2))
    else:
        z = data[:, 1] * s1 + 1j * (data[:, 2] * s2)
    n = len(f)
    valid = f != 0 if skip_zero else np.ones(n, dtype=bool)
    if not valid.any():
        raise src.error(
            table.indices[0],
            f'expected impedance rows (a nonzero "{table.names[cols.indices[0]]}") in {table.label}, found none',
        )
    new = valid.copy()
    new[1:] &= ~valid[:-1] | np.any(data[1:, 3:] != data[:-1, 3:], axis=1)
    starts = np.flatnonzero(new)
    ends = np.append(starts[1:], n)
    used = tuple(table.names[i] for i in cols.indices)
    spectra = []
    for k, (a, b) in enumerate(zip(starts, ends)):
        stop = a + int(np.argmin(valid[a:b])) if not valid[a:b].all() else b
        spectra.append(
            Spectrum(f[a:stop], z[a:stop], instrument, used, src.path, sweep=k, line=table.indices[a] + 1)
        )
    return spectra


def _sniff(line: str) -> str | None:
    for d in ("\t", ";", ","):
        if d in line:
            return d
    return None


# --------------------------------------------------------------------------- readers


def _read_gamry(src: _Source) -> list[Spectrum]:
    """Gamry .DTA: every ``ZCURVE`` table (names line, units line, rows led by a tab)."""
    lines = src.lines
    spectra: list[Spectrum] = []
    i = 0
    n = len(lines)
    while i < n:
        line = lines[i]
        if not (line.startswith("ZCURVE") and line.split("\t")[1:2] == ["TABLE"]):
            i += 1
            continue
        name = line.split("\t")[0]
        label = f"the {name} table"
        if i + 2 >= n:
            raise src.end_error(f"the column names and units of {label}")
        names = _fields(lines[i + 1], "\t")
        start = j = i + 3
        while j < n and lines[j][:1] in ("\t", " ") and lines[j].strip():
            j += 1
        indices, rows = _rows(lines, start, j)
        if not rows:
            found = _show(lines[start]) if start < n else "the end of the file"
            raise src.error(start, f"expected the rows of {label}, found {found}")
        table = _Table(label, names, i + 1, indices, rows, "\t")
        cols = _columns(src, names, i + 1)
        for spectrum in _spectra(src, table, "Gamry", cols):
            spectra.append(_renumber(spectrum, len(spectra)))
        i = j
    if not spectra:
        raise src.end_error("a ZCURVE table (the impedance data of a Gamry EIS file)")
    return spectra


def _renumber(spectrum: Spectrum, sweep: int) -> Spectrum:
    return spectrum if spectrum.sweep == sweep else replace(spectrum, sweep=sweep)


def _read_biologic(src: _Source) -> list[Spectrum]:
    """EC-Lab / BT-Lab .mpt: "Nb header lines : N" on line 2, column names on line N."""
    lines = src.lines
    header = 0
    if lines and "ASCII FILE" in lines[0]:
        for i in range(1, min(len(lines), 10)):
            if lines[i].lower().startswith("nb header lines"):
                count = lines[i].split(":", 1)[-1].strip()
                if not count.isdigit() or int(count) < 1:
                    raise src.error(i, f'expected "Nb header lines : <number>", found {_show(lines[i])}')
                header = int(count) - 1
                break
        else:
            raise src.error(1, f'expected "Nb header lines : <number>", found {_show(lines[1] if len(lines) > 1 else "")}')
        if header >= len(lines):
            raise src.end_error(f"{header + 1} header lines (as line {i + 1} says)")
    names = _fields(lines[header].rstrip("\t"), "\t")
    indices, rows = _rows(lines, header + 1, len(lines))
    table = _Table("the data table", names, header, indices, rows, "\t")
    cols = _columns(src, names, header, split=True)
    return _spectra(src, table, "BioLogic", cols, skip_zero=True)


_ZVIEW_NAMES = ["Freq(Hz)", "Ampl", "Bias", "Time(Sec)", "Z'(a)", "Z''(b)", "GD", "Err", "Range"]


def _zview_names(line: str) -> list[str]:
    # "  Freq (Hz)    Ampl   Bias   Time(Sec)   Z'(a)   Z''(b) ..." - names separated by
    # white space, a parenthesised unit possibly after a space
    return re.findall(r"[^\s(]+(?:\s*\([^)]*\))?", _unquote(line))


def _is_zview_header(line: str) -> bool:
    text = _unquote(line).lower()
    return text.startswith("freq") and "z'" in text


def _read_zview(src: _Source, instrument: str) -> list[Spectrum]:
    """ZPlot .z ("ZPLOT2 ASCII" with its comment block, or the "ZPlotW Data File" layout)
    and the ZView-compatible layout of other programs ("Z60W Data File")."""
    lines = src.lines
    end = next((i for i, line in enumerate(lines) if line.strip() == "End Comments"), None)
    if end is not None:
        header = end - 1 if end > 0 and _is_zview_header(lines[end - 1]) else None
        first = end + 1
    else:
        header = next((i for i, line in enumerate(lines) if _is_zview_header(line)), None)
        if header is None:
            raise src.end_error("""a column header "Freq(Hz) ... Z'(a) Z''(b) ..." or an "End Comments" line""")
        first = header + 1
    if header is None:  # a comment block without the line of column names: the usual layout
        names, header = list(_ZVIEW_NAMES), first - 1
    else:
        names = _zview_names(lines[header])
    indices, rows = _rows(lines, first, len(lines))
    delimiter = "\t" if rows and "\t" in rows[0] else ","
    table = _Table("the data table", names, header, indices, rows, delimiter)
    cols = _columns(src, names, table.header)
    return _spectra(src, table, instrument, cols)


def _read_chinstruments(src: _Source) -> list[Spectrum]:
    """CH Instruments .txt: a parameter block, then "Freq/Hz, Z'/ohm, Z"/ohm, ..." and rows."""
    lines = src.lines
    header = next((i for i, line in enumerate(lines) if line.lstrip().lower().startswith("freq/hz")), None)
    if header is None:
        raise src.end_error('a column header starting with "Freq/Hz"')
    names = _fields(lines[header], ",")
    indices, rows = _rows(lines, header + 1, len(lines))
    table = _Table("the data table", names, header, indices, rows, ",")
    return _spectra(src, table, "CH Instruments", _columns(src, names, header))


def _read_delimited(
    src: _Source, instrument: str, *, skip_zero: bool = False, comments: bool = False, unnamed: bool = False
) -> list[Spectrum]:
    """A header line of column names (or, with ``unnamed``, none) followed by rows."""
    lines = src.lines

    def skip(text: str) -> bool:
        return comments and text.startswith("#")

    header = next((i for i, line in enumerate(lines) if line.strip() and not skip(line.strip())), None)
    if header is None:
        raise src.end_error("a line of column names or numeric rows")
    delimiter = _sniff(lines[header])
    first = _fields(lines[header], delimiter)
    label = "the data table"
    if unnamed and all(_is_number(x) for x in first if x) and any(first):
        names = [f"column {k + 1}" for k in range(len(first))]
        if len(first) != 3:
            raise src.error(
                header,
                "expected a line of column names, or 3 unnamed numeric columns (frequency, real part, "
                f"imaginary part), found {_show(lines[header])}",
            )
        indices, rows = _rows(lines, header, len(lines), skip)
        table = _Table(label, names, header, indices, rows, delimiter)
        cols = _Columns([0, 1, 2], (1.0, 1.0, 1.0), False, [])
        return _spectra(src, table, instrument, cols, skip_zero=skip_zero)
    names = [_unquote(x) for x in first]
    trailing = ""
    while len(names) > 1 and not names[-1]:  # a trailing delimiter, also on the rows
        names.pop()
        trailing = delimiter or ""
    indices, rows = _rows(lines, header + 1, len(lines), skip, trailing)
    table = _Table(label, names, header, indices, rows, delimiter)
    cols = _columns(src, names, header, split=instrument == "CSV")
    return _spectra(src, table, instrument, cols, skip_zero=skip_zero)


def _read_versastudio(src: _Source) -> list[Spectrum]:
    """VersaStudio .par: data rows of each ``<SegmentN>`` block after its "Definition=" line."""
    lines = src.lines
    spectra: list[Spectrum] = []
    i = 0
    n = len(lines)
    while i < n:
        m = re.fullmatch(r"<Segment(\d+)>", lines[i].strip())
        if not m:
            i += 1
            continue
        tag = f"</Segment{m.group(1)}>"
        label = f"the Segment{m.group(1)} table"
        close = next((j for j in range(i + 1, n) if lines[j].strip() == tag), None)
        if close is None:
            raise src.end_error(f"the closing {tag}")
        definition = next((j for j in range(i + 1, close) if lines[j].startswith("Definition=")), None)
        if definition is not None:
            names = _fields(lines[definition][len("Definition=") :], ",")
            while names and (not names[-1] or _is_number(names[-1])):  # a trailing count, not a name
                names.pop()
            keys = {_base(name)[0] for name in names}
            if keys & _FREQ and keys & _REAL and keys & _IMAG:
                indices, rows = _rows(lines, definition + 1, close)
                table = _Table(label, names, definition, indices, rows, ",")
                for spectrum in _spectra(src, table, "VersaStudio", _columns(src, names, definition)):
                    spectra.append(_renumber(spectrum, len(spectra)))
        i = close + 1
    if not spectra:
        raise src.end_error('a <Segment> block with "Frequency(Hz)", "Z Real" and "Z Imag" columns')
    return spectra


_READERS: dict[str, Callable[[_Source], list[Spectrum]]] = {
    "gamry": _read_gamry,
    "biologic": _read_biologic,
    "zplot": lambda src: _read_zview(src, "ZPlot"),
    "autolab": lambda src: (
        _read_zview(src, "Autolab") if _is_zview(src.lines) else _read_delimited(src, "Autolab")
    ),
    "chinstruments": _read_chinstruments,
    "parstat": lambda src: _read_delimited(src, "Parstat", skip_zero=True),
    "powersuite": lambda src: _read_delimited(src, "PowerSuite"),
    "versastudio": _read_versastudio,
    "csv": lambda src: _read_delimited(src, "CSV", comments=True, unnamed=True),
}


# --------------------------------------------------------------------------- detection


def _format_name(format: str) -> str:
    key = re.sub(r"[\s_\-.]", "", str(format)).lower()
    if key not in _INSTRUMENT:
        raise ValueError(f"unknown format {format!r}: expected one of {', '.join(FORMATS)}")
    return key


def _is_zview(lines: list[str]) -> bool:
    head = _unquote(lines[0]) if lines else ""
    return head.startswith(("ZPLOT2 ASCII", "ZPlotW Data File", "Z60W Data File")) or any(
        line.strip() == "End Comments" for line in lines[:200]
    )


def _detect(path: str, lines: list[str]) -> str:
    """The format of a file from its first lines, then from its extension."""
    head = lines[:60]
    first = _unquote(lines[0]) if lines else ""
    if first.startswith("EXPLAIN") or any(line.startswith("ZCURVE\tTABLE") for line in head):
        return "gamry"
    if "EC-Lab ASCII FILE" in first or "BT-Lab ASCII FILE" in first:
        return "biologic"
    if first.startswith(("ZPLOT2 ASCII", "ZPlotW Data File")):
        return "zplot"
    if first.startswith("Z60W Data File"):
        return "autolab"
    if first == "<Application>" or any(line.startswith("Definition=Segment #") for line in head):
        return "versastudio"
    if any(line.startswith("Instrument Model:") and "CHI" in line for line in head) or any(
        line.lstrip().startswith("Freq/Hz,") for line in head
    ):
        return "chinstruments"
    extension = os.path.splitext(path)[1].lower()
    if extension in _EXTENSIONS and extension not in (".csv", ".tsv"):
        return _EXTENSIONS[extension]
    # the .txt exports: recognised by their column names
    header = next((line for line in head if line.strip()), "")
    names = {_unquote(x).strip() for x in header.split(_sniff(header))}
    if {"freq/Hz", "Re(Z)/Ohm"} <= names:  # EC-Lab's text export without the header block
        return "biologic"
    if {"Frequency (Hz)", "Zre (ohms)", "Zim (ohms)"} <= names:
        return "parstat"
    if {"Frequency", "Zre", "Zimg"} <= names:
        return "powersuite"
    if "Frequency (Hz)" in names and any(name.startswith(("Z' (", "-Z'' (", "-Phase (")) for name in names):
        return "autolab"
    return "csv"
