"""EC-Lab / BT-Lab binary .mpr: what EC-Lab saves by default.

The file is a 52-byte signature block followed by modules. Each module has a
65-byte header: ``MODULE``, a 10-byte short name, a 25-byte long name, four
bytes of 0xff, the length of its data (uint32), two uint32 (0, then the module's
version) and an 8-byte date. The ``VMP data`` module holds the table: the number
of rows (uint32), the number of columns (uint16 in the versions read here), one
uint16 id per column, and from a version-dependent offset the rows, each the columns' values packed
little-endian in the order of the ids. Every id's name and type below was
checked against EC-Lab's own text export of the same run; a file with any other
id, module version or layout is refused with a message naming it, because the
width of an unknown column (and so every value after it) cannot be known.
"""

from __future__ import annotations

import struct

import numpy as np

from kelvara.io._types import ReadError, Spectrum

NAME = "biologicmpr"
INSTRUMENT = "BioLogic"
EXTENSIONS = (".mpr",)
ORDER = 9
MAGIC = b"BIO-LOGIC MODULAR FILE"

_SIGNATURE_BYTES = 52
_MODULE = b"MODULE"
_HEADER = struct.Struct("<6s10s25s4sIII8s")  # 65 bytes
_DATA_MODULE = b"VMP data"
# where the rows start inside the data module, by module version
_ROWS_AT = {10: 0x3EF, 11: 0x3EF}

# column id: (the name EC-Lab's text export gives it, its little-endian type)
COLUMNS: dict[int, tuple[str, str]] = {
    4: ("time/s", "<f8"),
    13: ("(Q-Qo)/mA.h", "<f8"),
    24: ("cycle number", "<f8"),
    32: ("freq/Hz", "<f4"),
    33: ("|Ewe|/V", "<f4"),
    34: ("|I|/A", "<f4"),
    35: ("Phase(Z)/deg", "<f4"),
    36: ("|Z|/Ohm", "<f4"),
    37: ("Re(Z)/Ohm", "<f4"),
    38: ("-Im(Z)/Ohm", "<f4"),
    39: ("I Range", "<u2"),
    76: ("<I>/mA", "<f4"),
    77: ("<Ewe>/V", "<f4"),
    131: ("Ns", "<u2"),
    169: ("Cs/µF", "<f4"),
    172: ("Cp/µF", "<f4"),
}
_USED = ("freq/Hz", "Re(Z)/Ohm", "-Im(Z)/Ohm")


def table(path: str, data: bytes) -> np.ndarray:
    """The whole data table of an .mpr file: a structured array whose fields are
    named as in EC-Lab's text export."""
    if not data.startswith(MAGIC):
        raise ReadError(path, None, f"expected {MAGIC.decode()!r} at the start (a BioLogic .mpr file)")
    body, version = _data_module(path, data)
    return _table(path, body, version)


def read_bytes(path: str, data: bytes) -> list[Spectrum]:
    """Every sweep of an .mpr file's impedance table (one per cycle number)."""
    rows = table(path, data)
    names = rows.dtype.names or ()
    missing = [name for name in _USED if name not in names]
    if missing:
        raise ReadError(path, None, f"expected the impedance columns {', '.join(_USED)} in the data module, "
                                    f"found no {', '.join(missing)}")
    f = rows["freq/Hz"].astype(np.float64)
    z = rows["Re(Z)/Ohm"].astype(np.float64) - 1j * rows["-Im(Z)/Ohm"].astype(np.float64)
    bad = np.flatnonzero(~(np.isfinite(f) & np.isfinite(z.real) & np.isfinite(z.imag)))
    if bad.size:
        raise ReadError(path, None, f"row {bad[0] + 1} of the data module: expected finite impedance values, "
                                    f"found {f[bad[0]]:g} Hz, {z[bad[0]]:g} ohm")
    cycle = rows["cycle number"] if "cycle number" in names else np.zeros(len(f))
    return _sweeps(path, f, z, cycle)


def _data_module(path: str, data: bytes) -> tuple[bytes, int]:
    at = _SIGNATURE_BYTES
    while at < len(data):
        if at + _HEADER.size > len(data):
            raise ReadError(path, None, f"a module header cut short at byte {at}")
        tag, short, _long, _, length, _, version, _date = _HEADER.unpack_from(data, at)
        if tag != _MODULE:
            raise ReadError(path, None, f"expected a module at byte {at}, found {tag!r}")
        start = at + _HEADER.size
        if start + length > len(data):
            raise ReadError(path, None, f"the {short.decode(errors='replace').strip()!r} module at byte {at} "
                                        f"holds {length} bytes, but the file ends {len(data) - start} bytes on")
        if short.rstrip() == _DATA_MODULE:
            return data[start:start + length], version
        at = start + length
    raise ReadError(path, None, "expected a 'VMP data' module (the measured table), found none")


def _table(path: str, body: bytes, version: int) -> np.ndarray:
    if version not in _ROWS_AT:
        raise ReadError(path, None, f"data module version {version} is not one this reader knows "
                                    f"({', '.join(map(str, sorted(_ROWS_AT)))}); export the file as text "
                                    "from EC-Lab (.mpt) and read that")
    if len(body) < 6:
        raise ReadError(path, None, "the data module is cut short")
    rows, ncols = struct.unpack_from("<IH", body)
    ids = struct.unpack_from(f"<{ncols}H", body, 6) if 6 + 2 * ncols <= len(body) else ()
    unknown = [i for i in ids if i not in COLUMNS]
    if not ids:
        raise ReadError(path, None, "the data module has no columns")
    if len(ids) != ncols or unknown:
        raise ReadError(path, None, f"column ids {unknown or 'cut short'} in the data module are not ones this "
                                    "reader knows; export the file as text from EC-Lab (.mpt) and read that")
    fields = [COLUMNS[i] for i in ids]
    if len({name for name, _ in fields}) != len(fields):
        raise ReadError(path, None, f"a column id appears twice in the data module: {list(ids)}")
    dtype = np.dtype(fields)
    begin = _ROWS_AT[version]
    if begin + rows * dtype.itemsize != len(body):
        raise ReadError(path, None, f"the data module holds {len(body)} bytes, not the {begin} + {rows} rows x "
                                    f"{dtype.itemsize} bytes its column ids imply")
    return np.frombuffer(body, dtype=dtype, count=rows, offset=begin)


def _sweeps(path: str, f: np.ndarray, z: np.ndarray, cycle: np.ndarray) -> list[Spectrum]:
    """One spectrum per run of rows with the same cycle number; rows of zero
    frequency (other techniques' records) are left out."""
    keep = f != 0
    if not keep.any():
        raise ReadError(path, None, "expected impedance rows (a nonzero freq/Hz), found none")
    rows = np.flatnonzero(keep)
    new = np.ones(rows.size, dtype=bool)
    new[1:] = (np.diff(rows) != 1) | (cycle[rows[1:]] != cycle[rows[:-1]])
    bounds = np.append(np.flatnonzero(new), rows.size)
    spectra = []
    for k, (a, b) in enumerate(zip(bounds[:-1], bounds[1:])):
        picked = rows[a:b]
        spectra.append(Spectrum(f[picked], z[picked], INSTRUMENT, _USED, path, sweep=k, line=int(picked[0]) + 1))
    return spectra
