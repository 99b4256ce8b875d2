"""Network input of a spectrum: three channels on a log-frequency grid.

`features()` follows the runtime's steps one by one (scale estimate in input
order, stable total-order sort, sequential phase unwrapping, interpolation) and
is what the reference forward pass uses.  `features_fast()` gives the same
numbers up to rounding with array operations; data generation uses it.
"""

from __future__ import annotations

import bisect
import math
import struct

import numpy as np

TWO_PI = 6.283185307179586


def _total_order_key(x: float) -> int:
    bits = struct.unpack("<q", struct.pack("<d", x))[0]
    return bits ^ 0x7FFFFFFFFFFFFFFF if bits < 0 else bits


def scales(f, z):
    """(r_scale, omega_scale) by the reactive centroid, with its fallback."""
    n = min(len(f), len(z))
    W = A = B = 0.0
    for i in range(n):
        fi = float(f[i])
        zi = complex(z[i])
        m = math.hypot(zi.real, zi.imag)
        if fi <= 0 or m <= 0:
            continue
        w = -zi.imag / m
        w = w if w > 0 else 0.0  # max(0, w), NaN counts as 0
        W += w
        A += w * math.log(TWO_PI * fi)
        B += w * math.log(m)
    if W >= 1e-9:
        return math.exp(B / W), math.exp(A / W)
    nf, nz = len(f), len(z)
    lw = sum(math.log(TWO_PI * float(x)) for x in f) / nf
    mags = sorted((math.hypot(complex(x).real, complex(x).imag) for x in z),
                  key=_total_order_key)
    return mags[nz // 2], math.exp(lw)


def interpolate(xs, ys, x):
    if x <= xs[0]:
        return ys[0]
    if x >= xs[-1]:
        return ys[-1]
    i = bisect.bisect_right(xs, x)
    if xs[i - 1] == xs[i]:
        return ys[i - 1]
    return ys[i - 1] + (x - xs[i - 1]) * (ys[i] - ys[i - 1]) / (xs[i] - xs[i - 1])


def features(f, z, n_grid: int = 64):
    """Returns (x of shape (3, n_grid), extras (2,), r_scale, omega_scale)."""
    f = [float(v) for v in f]
    z = [complex(v) for v in z]
    nf, nz = len(f), len(z)
    if nf < 2 or nz < 2:
        raise ValueError(f"need at least 2 frequency points to guess, got {min(nf, nz)}")
    r_scale, omega_scale = scales(f, z)

    order = sorted(range(nf), key=lambda i: _total_order_key(f[i]))  # stable
    lf, lm, ph = [], [], []
    for i in order:
        zi = z[i]
        lf.append(math.log10(f[i]))
        lm.append(math.log10(math.hypot(zi.real, zi.imag)))
        a = math.atan2(zi.imag, zi.real)
        if not ph:
            ph.append(a)
            continue
        prev = ph[-1]
        d = a - prev
        d2 = d - 2 * math.pi * math.floor((d + math.pi) / (2 * math.pi))
        if d2 == -math.pi and prev < a:
            d2 = math.pi
        ph.append(prev + d2)

    x0 = lf[0]
    span = lf[nf - 1] - lf[0]
    step = span / (n_grid - 1) if n_grid > 1 else 0.0
    lR = math.log10(r_scale)
    lW = math.log10(omega_scale / TWO_PI)
    x = np.empty((3, n_grid))
    for g in range(n_grid):
        xg = g * step + x0
        x[0, g] = interpolate(lf, lm, xg) - lR
        x[1, g] = interpolate(lf, ph, xg) / (math.pi / 2)
        x[2, g] = (xg - lW) * 0.25
    extras = np.array([span * 0.125, math.log10(nf) * 0.5])
    return x, extras, r_scale, omega_scale


def features_fast(f, z, n_grid: int = 64):
    """Array version of `features` for well-formed data (finite, f > 0)."""
    f = np.asarray(f, dtype=np.float64)
    z = np.asarray(z, dtype=np.complex128)
    m = np.hypot(z.real, z.imag)
    w = np.maximum(0.0, -z.imag / m)
    W = w.sum()
    if W >= 1e-9:
        r_scale = math.exp(float(np.dot(w, np.log(m))) / W)
        omega_scale = math.exp(float(np.dot(w, np.log(TWO_PI * f))) / W)
    else:
        r_scale = float(np.sort(m)[len(m) // 2])
        omega_scale = math.exp(float(np.mean(np.log(TWO_PI * f))))
    o = np.argsort(f, kind="stable")
    lf = np.log10(f[o])
    lm = np.log10(m[o])
    a = np.arctan2(z.imag[o], z.real[o])
    d = np.diff(a)
    d = d - 2 * np.pi * np.floor((d + np.pi) / (2 * np.pi))
    ph = np.concatenate(([a[0]], a[0] + np.cumsum(d)))
    span = lf[-1] - lf[0]
    xg = np.arange(n_grid) * (span / (n_grid - 1)) + lf[0]
    x = np.empty((3, n_grid))
    x[0] = np.interp(xg, lf, lm) - math.log10(r_scale)
    x[1] = np.interp(xg, lf, ph) / (np.pi / 2)
    x[2] = (xg - math.log10(omega_scale / TWO_PI)) * 0.25
    extras = np.array([span * 0.125, math.log10(len(f)) * 0.5])
    return x, extras, r_scale, omega_scale
