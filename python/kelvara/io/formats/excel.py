"""Excel workbooks (.xlsx), read with openpyxl (``pip install kelvara[excel]``): every
sheet whose first non-empty row names a frequency column and the impedance columns
(the names the CSV reader knows), one sweep per cycle value as in a CSV file."""

from __future__ import annotations

import io
import math
from typing import Any

from kelvara.io import _table
from kelvara.io._text import Source
from kelvara.io._types import ReadError, Spectrum

NAME = "excel"
INSTRUMENT = "Excel"
EXTENSIONS = (".xlsx",)
ORDER = 11
MAGIC = b"PK\x03\x04"  # a zip archive, as every .xlsx is


def _text(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, float):
        return repr(value) if math.isfinite(value) else str(value)
    return str(value).replace("\t", " ").strip()


def read_bytes(path: str, data: bytes) -> list[Spectrum]:
    try:
        import openpyxl  # type: ignore  # optional, without type information
    except ImportError as error:
        raise ImportError(f"reading {path} (an Excel workbook) needs openpyxl, which is not installed: "
                          "pip install openpyxl (or kelvara[excel])") from error
    try:
        book = openpyxl.load_workbook(io.BytesIO(data), read_only=True, data_only=True)
    except Exception as error:  # openpyxl raises many kinds for a zip that is no workbook
        raise ReadError(path, None, f"expected an Excel .xlsx workbook, found a file openpyxl cannot open "
                                    f"({type(error).__name__}: {error})") from None
    spectra: list[Spectrum] = []
    refused: list[str] = []
    try:
        sheets = [(sheet.title, ["\t".join(_text(v) for v in row) for row in sheet.iter_rows(values_only=True)])
                  for sheet in book.worksheets]
    except Exception as error:  # a workbook damaged inside: openpyxl's errors are of many kinds
        raise ReadError(path, None, f"a sheet of the workbook cannot be read ({type(error).__name__}: {error})") \
            from None
    finally:
        book.close()
    for title, lines in sheets:
        if not any(line.strip() for line in lines):
            continue
        src = Source(f"{path} [sheet {title}]", lines)
        try:
            found = _table.read_delimited(src, "CSV")
        except ReadError as error:
            refused.append(str(error))
            continue
        for s in found:
            spectra.append(Spectrum(s.frequencies, s.impedances, INSTRUMENT, s.columns, path,
                                    sweep=len(spectra), line=s.line))
    if not spectra:
        detail = refused[0] if refused else "every sheet is empty"
        raise ReadError(path, None, f"expected a sheet of impedance columns, found none ({detail})")
    return spectra
