"""ZPlot .z ("ZPLOT2 ASCII" with its comment block, or the "ZPlotW Data File" layout)."""

from __future__ import annotations

from kelvara.io._text import Source, unquote
from kelvara.io._types import Spectrum
from kelvara.io.formats import _zview

NAME = "zplot"
INSTRUMENT = "ZPlot"
EXTENSIONS = (".z",)
ORDER = 2


def signature(lines: list[str]) -> bool:
    return (unquote(lines[0]) if lines else "").startswith(("ZPLOT2 ASCII", "ZPlotW Data File"))


def read(src: Source) -> list[Spectrum]:
    return _zview.read(src, INSTRUMENT)
