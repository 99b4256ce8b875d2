"""Impedance of equivalent circuits, in NumPy.

This mirrors the element formulas of the C++ core so that training data can
be produced before (or without) the compiled module.  `spectrum()` prefers
`kelvara` itself when it imports; `compare_backends()` checks that both agree.
"""

from __future__ import annotations

import math

import numpy as np

TWO_PI = 6.283185307179586

# code -> (canonical kind, parameter names)
_KINDS = {
    "R": ("R", ("r",)),
    "C": ("C", ("c",)),
    "L": ("L", ("l",)),
    "La": ("La", ("l", "alpha")),
    "Cpe": ("Cpe", ("q", "alpha")),
    "CPE": ("Cpe", ("q", "alpha")),
    "W": ("W", ("aw",)),
    "Wo": ("Wo", ("z0", "tau")),
    "Ws": ("Ws", ("z0", "tau")),
    "G": ("G", ("rg", "tg")),
    "Gs": ("Gs", ("rg", "tg", "phi")),
    "K": ("K", ("r", "tau_k")),
    "Zarc": ("Zarc", ("r", "tau_k", "gamma")),
    "Tlmq": ("Tlmq", ("r_ion", "qs", "gamma")),
    "TLMQ": ("Tlmq", ("r_ion", "qs", "gamma")),
    "T": ("T", ("a", "b", "k_tau", "tau")),
}


# ---------------------------------------------------------------- notation

def parse(text: str):
    """Parse circuit notation into a series list.

    A series list is a list of nodes; a node is ("leaf", kind, label) or
    ("par", [series, series, ...]).  Only well-formed text is expected here
    (the registry circuits), so errors are plain ValueErrors.
    """
    pos = 0

    def series():
        nonlocal pos
        nodes = [item()]
        while pos < len(text) and text[pos] == "-":
            pos += 1
            nodes.append(item())
        return nodes

    def item():
        nonlocal pos
        if text.startswith("p(", pos):
            pos += 2
            return group()
        if pos < len(text) and text[pos] == "(":
            pos += 1
            return group()
        start = pos
        while pos < len(text) and text[pos].isalpha():
            pos += 1
        code = text[start:pos]
        while pos < len(text) and text[pos].isdigit():
            pos += 1
        if code not in _KINDS or pos == start + len(code):
            raise ValueError(f"bad element at {start} in {text!r}")
        return ("leaf", _KINDS[code][0], text[start:pos])

    def group():
        nonlocal pos
        branches = [series()]
        while True:
            if pos >= len(text):
                raise ValueError(f"unexpected end in {text!r}")
            if text[pos] == ",":
                pos += 1
                branches.append(series())
            elif text[pos] == ")":
                pos += 1
                return ("par", branches)
            else:
                raise ValueError(f"unexpected character at {pos} in {text!r}")

    tree = series()
    if pos != len(text):
        raise ValueError(f"trailing input at {pos} in {text!r}")
    return tree


def leaves(tree):
    out = []
    for node in tree:
        if node[0] == "leaf":
            out.append(node)
        else:
            for br in node[1]:
                out.extend(leaves(br))
    return out


def param_names(text: str):
    names = []
    for _, kind, label in leaves(parse(text)):
        names.extend(f"{label}.{p}" for p in _KINDS[kind][1])
    return names


# ------------------------------------------------------- complex helpers

def csqrt(z):
    z = np.asarray(z, dtype=np.complex128)
    x, y = z.real, z.imag
    out = np.empty_like(z)
    # y == 0
    m0 = y == 0
    pos = m0 & ~np.signbit(x)
    out[pos] = np.sqrt(x[pos]) + 1j * y[pos]
    neg = m0 & np.signbit(x)
    im = np.sqrt(-x[neg])
    out[neg] = 1j * np.where(np.signbit(y[neg]), -im, im)
    # x == 0
    m1 = ~m0 & (x == 0)
    t = np.sqrt(np.abs(y[m1]) / 2)
    out[m1] = t + 1j * np.where(y[m1] > 0, t, -t)
    m2 = ~m0 & ~m1
    r = np.hypot(x[m2], y[m2])
    th = np.arctan2(y[m2], x[m2])
    sr = np.sqrt(r)
    out[m2] = sr * np.cos(th / 2) + 1j * (sr * np.sin(th / 2))
    return out


def cpow(z, p):
    z = np.asarray(z, dtype=np.complex128)
    if p == 1:
        return z
    if p == 0.5:
        return csqrt(z)
    if p == 0:
        return np.ones_like(z)
    r = np.hypot(z.real, z.imag)
    th = np.arctan2(z.imag, z.real)
    rp = r ** p
    return rp * np.cos(p * th) + 1j * (rp * np.sin(p * th))


def ctanh(z):
    z = np.asarray(z, dtype=np.complex128)
    x, y = z.real, z.imag
    with np.errstate(all="ignore"):
        v = (np.sinh(2 * x) + 1j * np.sin(2 * y)) / (np.cosh(2 * x) + np.cos(2 * y))
    big = np.abs(x) > 20
    return np.where(big, np.where(x > 0, 1.0 + 0j, -1.0 + 0j), v)


def _coth_csch(beta):
    x, y = beta.real, beta.imag
    ch = np.cosh(x) * np.cos(y) + 1j * (np.sinh(x) * np.sin(y))
    sh = np.sinh(x) * np.cos(y) + 1j * (np.cosh(x) * np.sin(y))
    coth = ch / sh
    csch = 1 / sh
    big = np.abs(x) > 20
    coth = np.where(big, np.where(x > 0, 1.0 + 0j, -1.0 + 0j), coth)
    csch = np.where(big, 0j, csch)
    return coth, csch


# ---------------------------------------------------------- elements

def element_impedance(kind, p, w):
    """Impedance of one element with parameters p at angular frequencies w."""
    jw = 1j * w
    if kind == "R":
        return np.full(w.shape, p[0] + 0j)
    if kind == "C":
        return 1 / (jw * p[0])
    if kind == "L":
        return jw * p[0]
    if kind == "La":
        return cpow(jw * p[0], p[1])
    if kind == "Cpe":
        return 1 / (p[0] * cpow(jw, p[1]))
    if kind == "W":
        s = np.sqrt(w)
        return p[0] / s - 1j * (p[0] / s)
    if kind == "Wo":
        s = csqrt(jw * p[1])
        return p[0] / (s * ctanh(s))
    if kind == "Ws":
        s = csqrt(jw * p[1])
        return p[0] * ctanh(s) / s
    if kind == "G":
        return p[0] / csqrt(1 + jw * p[1])
    if kind == "Gs":
        s = csqrt(1 + jw * p[1])
        return p[0] / (s * ctanh(p[2] * s))
    if kind == "K":
        return p[0] / (1 + jw * p[1])
    if kind == "Zarc":
        return p[0] / (1 + cpow(jw * p[1], p[2]))
    if kind == "Tlmq":
        zq = 1 / (p[1] * cpow(jw, p[2]))
        beta = csqrt(p[0] / zq)
        pp = csqrt(p[0] * zq)
        return pp / ctanh(beta)
    if kind == "T":
        beta = csqrt(p[2] + jw * p[3])
        coth, csch = _coth_csch(beta)
        return p[0] * coth / beta + p[1] * csch / beta
    raise ValueError(kind)


def _series(tree, values, w, cursor):
    z = np.zeros(w.shape, dtype=np.complex128)
    for node in tree:
        if node[0] == "leaf":
            n = len(_KINDS[node[1]][1])
            z = z + element_impedance(node[1], values[cursor:cursor + n], w)
            cursor += n
        else:
            y = np.zeros(w.shape, dtype=np.complex128)
            for br in node[1]:
                zb, cursor = _series(br, values, w, cursor)
                y = y + np.conj(zb) / (zb.real ** 2 + zb.imag ** 2)
            z = z + np.conj(y) / (y.real ** 2 + y.imag ** 2)
    return z, cursor


_TREES: dict = {}


def impedance_numpy(circuit: str, values, freqs_hz):
    tree = _TREES.get(circuit)
    if tree is None:
        tree = _TREES[circuit] = parse(circuit)
    w = np.asarray(freqs_hz, dtype=np.float64) * TWO_PI
    with np.errstate(all="ignore"):
        z, _ = _series(tree, [float(v) for v in values], w, 0)
    return z


# ------------------------------------------------------------ backends

_KELVARA = None
_KELVARA_CIRCUITS: dict = {}


def kelvara_module():
    """The compiled module if it imports, else None (checked once)."""
    global _KELVARA
    if _KELVARA is None:
        try:
            import kelvara  # noqa: F401
            _KELVARA = kelvara
        except Exception:
            _KELVARA = False
    return _KELVARA or None


def impedance_kelvara(circuit: str, values, freqs_hz):
    k = kelvara_module()
    c = _KELVARA_CIRCUITS.get(circuit)
    if c is None:
        c = _KELVARA_CIRCUITS[circuit] = k.Circuit(circuit)
    return np.asarray(c.with_values([float(v) for v in values]).impedance(
        np.asarray(freqs_hz, dtype=np.float64)), dtype=np.complex128)


def backend_name(prefer: str = "auto") -> str:
    if prefer == "numpy":
        return "numpy"
    if prefer == "kelvara" or kelvara_module() is not None:
        return "kelvara"
    return "numpy"


def spectrum(circuit: str, values, freqs_hz, backend: str = "auto"):
    """Complex impedance of `circuit` with `values` at `freqs_hz`."""
    if backend_name(backend) == "kelvara":
        return impedance_kelvara(circuit, values, freqs_hz)
    return impedance_numpy(circuit, values, freqs_hz)


def compare_backends(circuit: str, values, freqs_hz) -> float:
    """Largest relative difference between kelvara and the NumPy formulas."""
    a = impedance_kelvara(circuit, values, freqs_hz)
    b = impedance_numpy(circuit, values, freqs_hz)
    return float(np.max(np.abs(a - b) / np.maximum(np.abs(b), 1e-300)))


if __name__ == "__main__":  # quick self-check against hand values
    z = impedance_numpy("R0-(R1,C1)", [1, 1, 0.001], [1000 / TWO_PI])
    assert abs(z[0] - (1.5 - 0.5j)) < 1e-12, z
    print("R0-(R1,C1) at w=1000:", z[0])
    if kelvara_module() is not None:
        f = np.logspace(-2, 5, 50)
        print("max rel diff vs kelvara:",
              compare_backends("R0-(R1,CPE1)-(R2-Wo2,CPE2)",
                               [1, 2, 1e-3, 0.8, 3, 4, 5, 1e-2, 0.7], f))
