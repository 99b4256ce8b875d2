"""Impedance models written out in NumPy: the independent reference the tests compare kelvara with.

Element helpers take angular frequency `w`; circuit models take frequencies in hertz and their
parameters in the circuit's parameter order (the notation in each docstring)."""

import numpy as np

TWO_PI = 6.283185307179586


def omega(f):
    return np.asarray(f, dtype=float) * TWO_PI


def parallel(*zs):
    return 1.0 / sum(1.0 / np.asarray(z, dtype=complex) for z in zs)


def capacitor(c, w):
    return 1.0 / (1j * w * c)


def cpe(q, alpha, w):
    return 1.0 / (q * (1j * w) ** alpha)


def warburg(aw, w):
    return aw * (1 - 1j) / np.sqrt(w)


def open_warburg(z0, tau, w):
    s = np.sqrt(1j * w * tau)
    return z0 / (s * np.tanh(s))


def rc(f, r0, r1, c):
    """R0-(R1,C1)"""
    return r0 + parallel(r1, capacitor(c, omega(f)))


def rq(f, r0, r1, q, a):
    """R0-(R1,CPE1)"""
    return r0 + parallel(r1, cpe(q, a, omega(f)))


def two_rc(f, r0, r1, c1, r2, c2):
    """R0-(R1,C1)-(R2,C2)"""
    return rc(f, r0, r1, c1) + rc(f, 0.0, r2, c2)


def two_rq(f, r0, r1, q1, a1, r2, q2, a2):
    """R0-(R1,CPE1)-(R2,CPE2)"""
    return rq(f, r0, r1, q1, a1) + rq(f, 0.0, r2, q2, a2)


def randles(f, r0, r1, aw, q, a):
    """R0-(R1-W1,CPE1)"""
    w = omega(f)
    return r0 + parallel(r1 + warburg(aw, w), cpe(q, a, w))


def randles_wo(f, r0, r1, c1, r2, z0, tau, c2):
    """R0-(R1,C1)-(R2-Wo1,C2)"""
    w = omega(f)
    return rc(f, r0, r1, c1) + parallel(r2 + open_warburg(z0, tau, w), capacitor(c2, w))


def sei_randles(f, r0, r1, q1, a1, r2, aw, q2, a2):
    """R0-(R1,CPE1)-(R2-W2,CPE2)"""
    return rq(f, r0, r1, q1, a1) + randles(f, 0.0, r2, aw, q2, a2)


def sei_randles_wo(f, r0, r1, q1, a1, r2, z0, tau, q2, a2):
    """R0-(R1,CPE1)-(R2-Wo2,CPE2)"""
    w = omega(f)
    return rq(f, r0, r1, q1, a1) + parallel(r2 + open_warburg(z0, tau, w), cpe(q2, a2, w))


def with_inductor(model):
    """L0 in series with `model`, the inductance first in the parameter list."""
    return lambda f, l0, *p: 1j * omega(f) * l0 + model(f, *p)


def residual_vector(model, p, f, z, weight="modulus"):
    """All real parts, then all imaginary parts of (model - z), divided by |z| under modulus
    weighting (Circuit.residuals() interleaves them per point; costs are the same)."""
    z = np.asarray(z, dtype=complex)
    d = (model(f, *p) - z) / (np.abs(z) if weight == "modulus" else 1.0)
    return np.concatenate([d.real, d.imag])


def numpy_cost(model, p, f, z, weight="modulus"):
    return 0.5 * float(np.sum(residual_vector(model, p, f, z, weight) ** 2))
