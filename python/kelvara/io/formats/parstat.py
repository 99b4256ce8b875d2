"""Parstat .txt: "Frequency (Hz)", "Zre (ohms)", "Zim (ohms)"; rows of zero frequency
(records of other techniques) separate sweeps."""

from __future__ import annotations

from kelvara.io import _table
from kelvara.io._text import Source
from kelvara.io._types import Spectrum

NAME = "parstat"
INSTRUMENT = "Parstat"
EXTENSIONS = ()
ORDER = 5


def header(names: set[str]) -> bool:
    return {"Frequency (Hz)", "Zre (ohms)", "Zim (ohms)"} <= names


def read(src: Source) -> list[Spectrum]:
    return _table.read_delimited(src, INSTRUMENT, skip_zero=True)
