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
``"biologicmpr"``         .mpr             EC-Lab's binary file: the same columns
``"relaxis"``             .txt             RelaxIS export: ``Data: Frequency``, ``Data: Z'``, ...
``"excel"``               .xlsx            sheets with the CSV reader's names (needs openpyxl)
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

The readers never guess: every data row must have the table's number of fields,
units in column names are converted (``mHz``, ``kHz``, ``MHz``; ``mOhm``, ``kOhm``,
``MOhm``; ``deg``, ``rad``) and an unknown unit is refused, and a NaN or infinite
frequency or impedance is an error naming the file, line and column. Only regular
files are read (a FIFO or a device is refused without reading), at most
``MAX_FILE_BYTES`` long with lines of at most ``MAX_LINE_CHARS`` characters; binary
files are refused after their first bytes.
"""

from __future__ import annotations

import os
import re
from types import ModuleType
from typing import Any, Union

import numpy as np

from kelvara._measured import FREQUENCY, IMAGINARY, REAL
from kelvara.io import _table, _text, formats
from kelvara.io._text import MAX_FILE_BYTES, MAX_LINE_CHARS
from kelvara.io._types import ReadError, Spectrum

__all__ = ["FORMATS", "MAX_FILE_BYTES", "MAX_LINE_CHARS", "ReadError", "Spectrum", "read", "read_all", "to_frame"]

_PathLike = Union[str, "os.PathLike[str]"]

_MODULES = formats.discover()
_BY_NAME = {module.NAME: module for module in _MODULES}

FORMATS: tuple[str, ...] = tuple(module.NAME for module in _MODULES)


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
        (a ``ValueError``) if the file is malformed, truncated, not a regular
        file, too large or binary; the message names the file and the line.
    """
    name = os.fspath(path)
    if not isinstance(name, str):
        name = os.fsdecode(name)
    if format is not None:
        format = _format_name(format)
    data = _text.load_bytes(name)
    binary = _BY_NAME[format] if format is not None else _binary(data)
    if binary is not None and hasattr(binary, "read_bytes"):
        return binary.read_bytes(name, data)
    src = _text.text(name, data)
    module = _BY_NAME[format] if format is not None else _detect(name, src.lines)
    return module.read(src)


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
    columns = {FREQUENCY: np.array(spectrum.frequencies), REAL: z.real.copy(), IMAGINARY: z.imag.copy()}
    return module.DataFrame(columns)


def _format_name(format: str) -> str:
    key = re.sub(r"[\s_\-.]", "", str(format)).lower()
    if key not in _BY_NAME:
        raise ValueError(f"unknown format {format!r}: expected one of {', '.join(FORMATS)}")
    return key


def _binary(data: bytes) -> ModuleType | None:
    """The binary format whose signature the file starts with, if any."""
    return next((module for module in _MODULES if data.startswith(getattr(module, "MAGIC", b"\0"))), None)


def _detect(path: str, lines: list[str]) -> ModuleType:
    """The format of a file: from the signature of its first lines, then from its
    extension, then from the column names of its first line; CSV otherwise."""
    for module in _MODULES:
        if hasattr(module, "signature") and module.signature(lines):
            return module
    extension = os.path.splitext(path)[1].lower()
    for module in _MODULES:
        if extension in module.EXTENSIONS and not getattr(module, "FALLBACK", False):
            return module
    names = _table.header_names(lines)
    for module in _MODULES:
        if hasattr(module, "header") and module.header(names):
            return module
    return next(module for module in _MODULES if getattr(module, "FALLBACK", False))
