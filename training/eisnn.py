"""Reading and writing `.eisnn` weight files.

Layout (little-endian): magic "EISNN001"; u32 header count, then key/value
strings; u32 tensor count, then tensor records (name string, u8 encoding,
u8 rank, u32 dims, data).  A string is a u32 byte length and UTF-8 bytes.
Encodings: 0 float32, 1 float16, 2 int8 with one float32 scale.
"""

from __future__ import annotations

import math
import struct

import numpy as np

MAGIC = b"EISNN001"
F32, F16, Q8 = 0, 1, 2


class EisnnError(ValueError):
    pass


def _string(s: str) -> bytes:
    b = s.encode("utf-8")
    return struct.pack("<I", len(b)) + b


def to_bytes(header, tensors) -> bytes:
    """header: list of (key, value); tensors: list of (name, array, encoding)."""
    out = [MAGIC, struct.pack("<I", len(header))]
    for k, v in header:
        out += [_string(k), _string(v)]
    out.append(struct.pack("<I", len(tensors)))
    for name, arr, enc in tensors:
        arr = np.asarray(arr, dtype=np.float64)
        out.append(_string(name))
        out.append(struct.pack("<BB", enc, arr.ndim))
        out.append(b"".join(struct.pack("<I", d) for d in arr.shape))
        flat = arr.reshape(-1)
        if flat.size == 0:  # a zero dimension still carries one element
            flat = np.zeros(1)
        if enc == F32:
            out.append(flat.astype("<f4").tobytes())
        elif enc == F16:
            out.append(flat.astype("<f2").tobytes())
        elif enc == Q8:
            amax = float(np.max(np.abs(flat))) if flat.size else 0.0
            s = np.float32(amax / 127.0 if amax > 0 else 1.0)
            q = np.clip(np.round(flat / float(s)), -127, 127).astype("<i1")
            out.append(struct.pack("<f", s) + q.tobytes())
        else:
            raise EisnnError(f"unknown encoding {enc}")
    return b"".join(out)


def write(path, header, tensors) -> bytes:
    data = to_bytes(header, tensors)
    with open(path, "wb") as fh:
        fh.write(data)
    return data


class _Reader:
    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    def take(self, n: int) -> bytes:
        if n < 0 or self.pos + n > len(self.data):
            raise EisnnError("weight file is truncated")
        b = self.data[self.pos:self.pos + n]
        self.pos += n
        return b

    def u32(self) -> int:
        return struct.unpack("<I", self.take(4))[0]

    def u8(self) -> int:
        return self.take(1)[0]

    def string(self) -> str:
        b = self.take(self.u32())
        try:
            return b.decode("utf-8")
        except UnicodeDecodeError:
            raise EisnnError("weight file is truncated") from None


def from_bytes(data: bytes):
    """Returns (header dict, tensors dict name -> (dims tuple, float64 array))."""
    if len(data) < 8:
        raise EisnnError("weight file is truncated")
    if data[:8] != MAGIC:
        raise EisnnError("not an eisnn weight file (bad magic bytes)")
    r = _Reader(data)
    r.pos = 8
    header = {}
    for _ in range(r.u32()):
        k = r.string()
        header[k] = r.string()
    tensors = {}
    for _ in range(r.u32()):
        name = r.string()
        enc = r.u8()
        nd = r.u8()
        dims = tuple(r.u32() for _ in range(nd))
        e = 1
        for d in dims:
            e = (e * d) & 0xFFFFFFFF
        if e == 0:
            e = 1
        if enc == Q8:
            s = struct.unpack("<f", r.take(4))[0]
            vals = np.frombuffer(r.take(e), dtype="<i1").astype(np.float64) * float(s)
        elif enc == F16:
            vals = np.frombuffer(r.take(2 * e), dtype="<f2").astype(np.float64)
        elif enc == F32:
            vals = np.frombuffer(r.take(4 * e), dtype="<f4").astype(np.float64)
        else:
            raise EisnnError(
                f"weight file uses tensor encoding {enc}, which this build does not know")
        tensors[name] = (dims, vals)
    return header, tensors


def read(path):
    with open(path, "rb") as fh:
        return from_bytes(fh.read())


# ------------------------------------------------------ parsed network

def _missing(name):
    return EisnnError(f"weight file is missing {_quote(name)}")


def _bad(name):
    return EisnnError(f"weight file has an unparsable value for {_quote(name)}")


def _quote(s: str) -> str:
    out = ['"']
    for ch in s:
        if ch in '"\\':
            out.append("\\" + ch)
        elif ch == "\n":
            out.append("\\n")
        elif ch == "\t":
            out.append("\\t")
        elif ch == "\r":
            out.append("\\r")
        elif ord(ch) < 0x20 or ord(ch) == 0x7F:
            out.append(f"\\u{{{ord(ch):x}}}")
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def _uint(text: str, key: str) -> int:
    t = text[1:] if text.startswith("+") else text
    if not t or not all("0" <= c <= "9" for c in t):
        raise _bad(key)
    v = int(t)
    if v >= 2 ** 64:
        raise _bad(key)
    return v


def _double(text: str, key: str) -> float:
    import re
    if re.fullmatch(r"[+-]?(\d+\.?\d*([eE][+-]?\d+)?|\.\d+([eE][+-]?\d+)?)", text) or \
            re.fullmatch(r"[+-]?(inf|infinity|nan)", text, flags=re.I):
        return float(text)
    raise _bad(key)


def _round_half_away(x: float) -> int:
    if math.isnan(x):
        return 0
    v = math.floor(abs(x) + 0.5) if math.isfinite(x) else math.inf
    v = v if x >= 0 else -v
    return int(max(-2 ** 31, min(2 ** 31 - 1, v)))


class Network:
    """A loaded weight file, with the header parsed as the runtime does."""

    def __init__(self, header: dict, tensors: dict):
        self.tensors = tensors
        for key in ("target_mean", "target_std", "log_params"):
            if key not in tensors:
                raise _missing(key)
        self.target_mean = tensors["target_mean"][1]
        self.target_std = tensors["target_std"][1]
        self.log_params = tensors["log_params"][1] != 0.0
        if "scaling" not in tensors:
            raise _missing("scaling")
        sc = tensors["scaling"][1]
        if sc.size != 4 * self.target_mean.size:
            raise EisnnError(
                f'tensor "scaling" has {sc.size} elements, expected {4 * self.target_mean.size}')
        self.scaling = [(r[0], r[1], r[2], _round_half_away(r[3])) for r in sc.reshape(-1, 4)]
        if "dilations" not in header:
            raise _missing("dilations")
        try:
            self.dilations = [_uint(p.strip(), "dilations") for p in header["dilations"].split(",")]
        except EisnnError:
            raise _bad("dilations") from None
        if "estimator" not in header:
            raise _missing("estimator")
        if header["estimator"] != "reactive_centroid":
            raise EisnnError(
                f"weight file was normalised with the {_quote(header['estimator'])} scale "
                "estimator, which this build does not implement (supported: reactive_centroid)")
        for key in ("circuit", "param_names"):
            if key not in header:
                raise _missing(key)
        self.circuit = header["circuit"]
        self.param_names = header["param_names"].split(",")
        vals = {}
        for key in ("n_grid", "channels", "kernel", "groups"):
            if key not in header:
                raise _missing(key)
            vals[key] = _uint(header[key], key)
        for key in ("alpha_min", "alpha_max"):
            if key not in header:
                raise _missing(key)
            vals[key] = _double(header[key], key)
        self.n_grid = vals["n_grid"]
        self.channels = vals["channels"]
        self.kernel = vals["kernel"]
        self.groups = vals["groups"]
        self.alpha_min = vals["alpha_min"]
        self.alpha_max = vals["alpha_max"]

    def tensor(self, name: str):
        if name not in self.tensors:
            raise _missing(name)
        dims, data = self.tensors[name]
        return dims, data


def load(path_or_bytes) -> Network:
    if isinstance(path_or_bytes, (bytes, bytearray)):
        return Network(*from_bytes(bytes(path_or_bytes)))
    return Network(*read(path_or_bytes))
