"""The ZView text layout shared by ZPlot and other programs: an optional comment block
ending in "End Comments", a line of column names, rows."""

from __future__ import annotations

import re

from kelvara.io import _table
from kelvara.io._text import Source, unquote
from kelvara.io._types import Spectrum

_NAMES = ["Freq(Hz)", "Ampl", "Bias", "Time(Sec)", "Z'(a)", "Z''(b)", "GD", "Err", "Range"]


def _names(line: str) -> list[str]:
    # "  Freq (Hz)    Ampl   Bias   Time(Sec)   Z'(a)   Z''(b) ..." - names separated by
    # white space, a parenthesised unit possibly after a space
    return re.findall(r"[^\s(]+(?:\s*\([^)]*\))?", unquote(line))


def _is_header(line: str) -> bool:
    text = unquote(line).lower()
    return text.startswith("freq") and "z'" in text


def is_zview(lines: list[str]) -> bool:
    head = unquote(lines[0]) if lines else ""
    return head.startswith(("ZPLOT2 ASCII", "ZPlotW Data File", "Z60W Data File")) or any(
        line.strip() == "End Comments" for line in lines[:200]
    )


def read(src: Source, instrument: str) -> list[Spectrum]:
    lines = src.lines
    end = next((i for i, line in enumerate(lines) if line.strip() == "End Comments"), None)
    if end is not None:
        header = end - 1 if end > 0 and _is_header(lines[end - 1]) else None
        first = end + 1
    else:
        header = next((i for i, line in enumerate(lines) if _is_header(line)), None)
        if header is None:
            raise src.end_error("""a column header "Freq(Hz) ... Z'(a) Z''(b) ..." or an "End Comments" line""")
        first = header + 1
    if header is None:  # a comment block without the line of column names: the usual layout
        names, header = list(_NAMES), first - 1
    else:
        names = _names(lines[header])
    indices, rows = _table.rows(lines, first, len(lines))
    delimiter = "\t" if rows and "\t" in rows[0] else ","
    table = _table.Table("the data table", names, header, indices, rows, delimiter)
    cols = _table.columns(src, names, table.header)
    return _table.spectra(src, table, instrument, cols)
