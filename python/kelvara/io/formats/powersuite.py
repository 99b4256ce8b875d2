"""PowerSuite .txt: "Frequency", "Zre", "Zimg"."""

from __future__ import annotations

from kelvara.io import _table
from kelvara.io._text import Source
from kelvara.io._types import Spectrum

NAME = "powersuite"
INSTRUMENT = "PowerSuite"
EXTENSIONS = ()
ORDER = 6


def header(names: set[str]) -> bool:
    return {"Frequency", "Zre", "Zimg"} <= names


def read(src: Source) -> list[Spectrum]:
    return _table.read_delimited(src, INSTRUMENT)
