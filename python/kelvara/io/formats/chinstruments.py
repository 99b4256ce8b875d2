"""CH Instruments .txt: a parameter block, then "Freq/Hz, Z'/ohm, Z"/ohm, ..." and rows."""

from __future__ import annotations

from kelvara.io import _table
from kelvara.io._text import Source, fields
from kelvara.io._types import Spectrum

NAME = "chinstruments"
INSTRUMENT = "CH Instruments"
EXTENSIONS = ()
ORDER = 4


def signature(lines: list[str]) -> bool:
    head = lines[:60]
    return any(line.startswith("Instrument Model:") and "CHI" in line for line in head) or any(
        line.lstrip().startswith("Freq/Hz,") for line in head
    )


def read(src: Source) -> list[Spectrum]:
    lines = src.lines
    start = next((i for i, line in enumerate(lines) if line.lstrip().lower().startswith("freq/hz")), None)
    if start is None:
        raise src.end_error('a column header starting with "Freq/Hz"')
    names = fields(lines[start], ",")
    indices, rows = _table.rows(lines, start + 1, len(lines))
    table = _table.Table("the data table", names, start, indices, rows, ",")
    return _table.spectra(src, table, INSTRUMENT, _table.columns(src, names, start))
