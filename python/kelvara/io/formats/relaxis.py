"""RelaxIS spectrum export (.txt): "RelaxIS ... Spectrum export" on line 1, a line of
"Data: <name>" column names, then per spectrum a line describing it (conditions,
model, source file) followed by its tab-separated rows."""

from __future__ import annotations

from kelvara.io import _table
from kelvara.io._text import Source, fields, is_number, show, unquote
from kelvara.io._types import Spectrum

NAME = "relaxis"
INSTRUMENT = "RelaxIS"
EXTENSIONS = ()
ORDER = 10
_PREFIX = "Data:"


def signature(lines: list[str]) -> bool:
    first = unquote(lines[0]) if lines else ""
    return first.startswith("RelaxIS") and "export" in first


def read(src: Source) -> list[Spectrum]:
    lines = src.lines
    header = next((i for i, line in enumerate(lines[:20]) if line.startswith(_PREFIX)), None)
    if header is None:
        second = lines[1] if len(lines) > 1 else ""
        raise src.error(1, f'expected a line of "{_PREFIX} <column>" names, found {show(second)}')
    names = [name.strip()[len(_PREFIX):].strip() if name.strip().startswith(_PREFIX) else name.strip()
             for name in fields(lines[header], "\t")]
    cols = _table.columns(src, names, header)
    spectra: list[Spectrum] = []
    i = header + 1
    while i < len(lines):
        if not lines[i].strip():
            i += 1
            continue
        label = f"spectrum {len(spectra) + 1}"
        if not is_number(fields(lines[i], "\t")[0]):  # the line describing the spectrum
            label = f"the spectrum {show(lines[i].split(chr(9))[-1].strip() or lines[i], 60)}"
            i += 1
        j = i
        while j < len(lines) and (not lines[j].strip() or is_number(fields(lines[j], "\t")[0])):
            j += 1
        indices, texts = _table.rows(lines, i, j, trailing="\t")
        table = _table.Table(label, names, header, indices, texts, "\t")
        for spectrum in _table.spectra(src, table, INSTRUMENT, cols):
            spectra.append(Spectrum(spectrum.frequencies, spectrum.impedances, INSTRUMENT, spectrum.columns,
                                    src.path, sweep=len(spectra), line=spectrum.line))
        i = j
    if not spectra:
        raise src.end_error("the rows of a spectrum")
    return spectra
