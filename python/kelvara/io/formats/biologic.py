"""EC-Lab / BT-Lab .mpt: "Nb header lines : N" on line 2, column names on line N;
also their text export without the header block."""

from __future__ import annotations

from kelvara.io import _table
from kelvara.io._text import Source, fields, show, unquote
from kelvara.io._types import Spectrum

NAME = "biologic"
INSTRUMENT = "BioLogic"
EXTENSIONS = (".mpt",)
ORDER = 1


def signature(lines: list[str]) -> bool:
    first = unquote(lines[0]) if lines else ""
    return "EC-Lab ASCII FILE" in first or "BT-Lab ASCII FILE" in first


def header(names: set[str]) -> bool:
    return {"freq/Hz", "Re(Z)/Ohm"} <= names


def read(src: Source) -> list[Spectrum]:
    lines = src.lines
    start = 0
    if lines and "ASCII FILE" in lines[0]:
        for i in range(1, min(len(lines), 10)):
            if lines[i].lower().startswith("nb header lines"):
                count = lines[i].split(":", 1)[-1].strip()
                if not (count.isascii() and count.isdigit()) or int(count) < 1:  # "²" is a digit to isdigit()
                    raise src.error(i, f'expected "Nb header lines : <number>", found {show(lines[i])}')
                start = int(count) - 1
                break
        else:
            second = lines[1] if len(lines) > 1 else ""
            raise src.error(1, f'expected "Nb header lines : <number>", found {show(second)}')
        if start >= len(lines):
            raise src.end_error(f"{start + 1} header lines (as line {i + 1} says)")
    names = fields(lines[start].rstrip("\t"), "\t")
    indices, rows = _table.rows(lines, start + 1, len(lines))
    table = _table.Table("the data table", names, start, indices, rows, "\t")
    cols = _table.columns(src, names, start, split=True)
    return _table.spectra(src, table, INSTRUMENT, cols, skip_zero=True)
