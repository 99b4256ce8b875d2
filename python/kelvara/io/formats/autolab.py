"""Autolab: the NOVA text export ("Frequency (Hz)", "Z' (Ω)", "-Z'' (Ω)", ...) or the
ZView-style "Z60W Data File" layout."""

from __future__ import annotations

from kelvara.io import _table
from kelvara.io._text import Source, unquote
from kelvara.io._types import Spectrum
from kelvara.io.formats import _zview

NAME = "autolab"
INSTRUMENT = "Autolab"
EXTENSIONS = ()
ORDER = 3


def signature(lines: list[str]) -> bool:
    return (unquote(lines[0]) if lines else "").startswith("Z60W Data File")


def header(names: set[str]) -> bool:
    return "Frequency (Hz)" in names and any(name.startswith(("Z' (", "-Z'' (", "-Phase (")) for name in names)


def read(src: Source) -> list[Spectrum]:
    if _zview.is_zview(src.lines):
        return _zview.read(src, INSTRUMENT)
    return _table.read_delimited(src, INSTRUMENT)
