"""Gamry .DTA: every ``ZCURVE`` table (names line, units line, rows led by a tab)."""

from __future__ import annotations

from dataclasses import replace

from kelvara.io import _table
from kelvara.io._text import Source, fields, show, unquote
from kelvara.io._types import Spectrum

NAME = "gamry"
INSTRUMENT = "Gamry"
EXTENSIONS = (".dta",)
ORDER = 0


def _is_table(line: str) -> bool:
    parts = [part.strip() for part in line.split("\t")]
    return parts[0].startswith("ZCURVE") and parts[1:2] == ["TABLE"]


def signature(lines: list[str]) -> bool:
    first = unquote(lines[0]) if lines else ""
    return first.startswith("EXPLAIN") or any(_is_table(line) for line in lines[:60])


def read(src: Source) -> list[Spectrum]:
    lines = src.lines
    spectra: list[Spectrum] = []
    i = 0
    n = len(lines)
    while i < n:
        line = lines[i]
        if not _is_table(line):
            i += 1
            continue
        label = f"the {line.split(chr(9))[0].strip()} table"
        if i + 2 >= n:
            raise src.end_error(f"the column names and units of {label}")
        names = fields(lines[i + 1], "\t")
        units = fields(lines[i + 2], "\t")
        start = j = i + 3
        while j < n and lines[j][:1] in ("\t", " ") and lines[j].strip():
            j += 1
        indices, rows = _table.rows(lines, start, j)
        if not rows:
            found = show(lines[start]) if start < n else "the end of the file"
            raise src.error(start, f"expected the rows of {label}, found {found}")
        table = _table.Table(label, names, i + 1, indices, rows, "\t")
        cols = _table.columns(src, names, i + 1, units=units if len(units) == len(names) else None)
        for spectrum in _table.spectra(src, table, INSTRUMENT, cols):
            spectra.append(spectrum if spectrum.sweep == len(spectra) else replace(spectrum, sweep=len(spectra)))
        i = j
    if not spectra:
        raise src.end_error("a ZCURVE table (the impedance data of a Gamry EIS file)")
    return spectra
