"""Impedance models written out in NumPy, the independent yardstick of the
benchmarks (frequencies in hertz)."""

import numpy as np

TWO_PI = 6.283185307179586


def angular(f):
    return TWO_PI * np.asarray(f, dtype=float)


def rc(f, r0, r1, c):
    """R0-(R1,C1)"""
    return r0 + 1 / (1 / r1 + 1j * angular(f) * c)


def randles(f, r0, r1, aw, q, a):
    """R0-(R1-W1,CPE1)"""
    w = angular(f)
    return r0 + 1 / (1 / (r1 + aw * (1 - 1j) / np.sqrt(w)) + q * (1j * w) ** a)


def two_rq(f, r0, r1, q1, a1, r2, q2, a2):
    """R0-(R1,CPE1)-(R2,CPE2)"""
    w = angular(f)
    return r0 + 1 / (1 / r1 + q1 * (1j * w) ** a1) + 1 / (1 / r2 + q2 * (1j * w) ** a2)


def randles_wo(f, r0, r1, c1, r2, z0, tau, c2):
    """R0-(R1,C1)-(R2-Wo1,C2)"""
    w = angular(f)
    s = np.sqrt(1j * w * tau)
    return r0 + 1 / (1 / r1 + 1j * w * c1) + 1 / (1 / (r2 + z0 / (s * np.tanh(s))) + 1j * w * c2)


def rq(f, r0, r1, q, a):
    """R0-(R1,CPE1)"""
    return r0 + 1 / (1 / r1 + q * (1j * angular(f)) ** a)


def two_rc(f, r0, r1, c1, r2, c2):
    """R0-(R1,C1)-(R2,C2)"""
    return rc(f, r0, r1, c1) + rc(f, 0.0, r2, c2)


def sei_randles(f, r0, r1, q1, a1, r2, aw, q2, a2):
    """R0-(R1,CPE1)-(R2-W2,CPE2)"""
    return rq(f, r0, r1, q1, a1) + randles(f, 0.0, r2, aw, q2, a2)


def sei_randles_wo(f, r0, r1, q1, a1, r2, z0, tau, q2, a2):
    """R0-(R1,CPE1)-(R2-Wo2,CPE2)"""
    w = angular(f)
    s = np.sqrt(1j * w * tau)
    return rq(f, r0, r1, q1, a1) + 1 / (1 / (r2 + z0 / (s * np.tanh(s))) + q2 * (1j * w) ** a2)


def with_inductor(model):
    """L0 in series with `model`, the inductance first in the parameter list."""
    return lambda f, l0, *p: 1j * angular(f) * l0 + model(f, *p)
