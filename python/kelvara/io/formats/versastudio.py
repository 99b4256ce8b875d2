"""VersaStudio .par: data rows of each ``<SegmentN>`` block after its "Definition=" line."""

from __future__ import annotations

import re
from dataclasses import replace

from kelvara.io import _table
from kelvara.io._text import Source, fields, is_number
from kelvara.io._types import Spectrum

NAME = "versastudio"
INSTRUMENT = "VersaStudio"
EXTENSIONS = (".par",)
ORDER = 7


def signature(lines: list[str]) -> bool:
    first = lines[0].strip() if lines else ""
    return first == "<Application>" or any(line.startswith("Definition=Segment #") for line in lines[:60])


def read(src: Source) -> list[Spectrum]:
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
            names = fields(lines[definition][len("Definition=") :], ",")
            while names and (not names[-1] or is_number(names[-1])):  # a trailing count, not a name
                names.pop()
            keys = {_table.base(name)[0] for name in names}
            if keys & _table.FREQ and keys & _table.REAL and keys & _table.IMAG:
                indices, rows = _table.rows(lines, definition + 1, close)
                table = _table.Table(label, names, definition, indices, rows, ",")
                for spectrum in _table.spectra(src, table, INSTRUMENT, _table.columns(src, names, definition)):
                    spectra.append(spectrum if spectrum.sweep == len(spectra)
                                   else replace(spectrum, sweep=len(spectra)))
        i = close + 1
    if not spectra:
        raise src.end_error('a <Segment> block with "Frequency(Hz)", "Z Real" and "Z Imag" columns')
    return spectra
