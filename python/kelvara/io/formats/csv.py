"""Delimited text with battery-data-format column names (or three unnamed columns:
frequency, real and imaginary part); the format of any file no other one claims."""

from __future__ import annotations

from kelvara.io import _table
from kelvara.io._text import Source
from kelvara.io._types import Spectrum

NAME = "csv"
INSTRUMENT = "CSV"
EXTENSIONS = (".csv", ".tsv")
ORDER = 8
FALLBACK = True  # its extensions do not outweigh the column names of another format


def read(src: Source) -> list[Spectrum]:
    return _table.read_delimited(src, INSTRUMENT, comments=True, unnamed=True)
