"""Random circuits and measurement grids for training and evaluation.

Ranges (log10 unless stated; all uniform):

Measurement grid
  span            2 .. 9 decades
  density         5 .. 20 points per decade  (n = round(span*density) + 1)
  top frequency   max(0, span-4) .. 6.3      (1 Hz .. 2 MHz, lowest >= 1e-4 Hz)
  order           ascending or descending, 50/50
  dropped points  with probability 0.2, 1 .. 3 points removed at random
Noise
  relative, Z += sigma*|Z|*(n1 + j*n2), n ~ N(0, 1); sigma 0 .. 2 %
Circuit (window [lo, hi] = log10 of lowest / highest frequency)
  R0              1e-3 .. 1e4 ohm         (mOhm battery cells .. kOhm sensors)
  R1 / R0         1e-1 .. 10^3.5           (one pair: batteries .. coatings)
  pair peak f_c   lo - 0.2 .. hi + 0.2      (f_c = 1/(2 pi tau), tau = (R q)^(1/alpha))
  alpha           0.5 .. 1.0
  two pairs       R1 / R0 in 1e-1 .. 1e3; R2 / R1 in 10^-1.5 .. 10^1.5 (R2/R0 kept
                  in 1e-1 .. 10^3.5); peaks at least 0.8 decade apart, pair 1
                  is always the faster one (smaller tau)
  Warburg W       frequency where |Zw| = R of its branch: lo - 0.3 .. f_c
                  (diffusion below the charge-transfer arc); aw = R*sqrt(w_w)
  Wo (open)       z0 / R2 in 10^-0.3 .. 10^1.5; knee 1/(2 pi tau) in lo - 0.1 .. f_c2 - 0.5
                  (charge-transfer peak f_c2 >= lo + 0.5 there)
  inductance L    w_top*L / |Z(w_top)| in 10^-1.3 .. 10^0.7 (visible at the
                  top frequencies, from a small tail to a dominant loop)
"""

from __future__ import annotations

import math

import numpy as np

from .simulate import TWO_PI, impedance_numpy, spectrum

NOISE_MAX = 0.02


def sample_grid(rng):
    span = rng.uniform(2.0, 9.0)
    dens = rng.uniform(5.0, 20.0)
    hi = rng.uniform(max(0.0, span - 4.0), 6.3)
    n = int(round(span * dens)) + 1
    f = np.logspace(hi - span, hi, n)
    if rng.random() < 0.2:
        k = int(rng.integers(1, 4))
        drop = rng.choice(n, size=k, replace=False)
        f = np.delete(f, drop)
    if rng.random() < 0.5:
        f = f[::-1].copy()
    return f


def _window(f):
    return math.log10(float(np.min(f))), math.log10(float(np.max(f)))


def _q_for(r, alpha, logfc):
    tau = 1.0 / (TWO_PI * 10.0 ** logfc)
    return tau ** alpha / r


def _two_peaks(rng, lo, hi):
    """log10 peak frequencies (fast, slow), at least 0.8 decade apart."""
    a, b = lo - 0.2, hi + 0.2
    gap = rng.uniform(0.8, min(4.0, b - a - 0.05))
    slow = rng.uniform(a, b - gap)
    return slow + gap, slow


def _two_rs(rng, r0):
    l1 = rng.uniform(-1.0, 3.0)
    l2 = float(np.clip(l1 + rng.uniform(-1.5, 1.5), -1.0, 3.5))
    return r0 * 10 ** l1, r0 * 10 ** l2


def _inductance(rng, circuit_wo_l, values_wo_l, f):
    wtop = TWO_PI * float(np.max(f))
    ztop = abs(impedance_numpy(circuit_wo_l, values_wo_l, [float(np.max(f))])[0])
    return ztop * 10 ** rng.uniform(-1.3, 0.7) / wtop


def sample_params(name: str, rng, f):
    lo, hi = _window(f)
    r0 = 10 ** rng.uniform(-3.0, 4.0)
    if name in ("rc", "rc_l", "rq", "rq_l"):
        r1 = r0 * 10 ** rng.uniform(-1.0, 3.5)
        fc = rng.uniform(lo - 0.2, hi + 0.2)
        if name.startswith("rc"):
            core = [r0, r1, 1.0 / (TWO_PI * 10 ** fc * r1)]
            sub = "R0-(R1,C1)"
        else:
            al = rng.uniform(0.5, 1.0)
            core = [r0, r1, _q_for(r1, al, fc), al]
            sub = "R0-(R1,CPE1)"
    elif name in ("two_rc", "two_rc_l", "two_rq", "two_rq_l"):
        r1, r2 = _two_rs(rng, r0)
        f1, f2 = _two_peaks(rng, lo, hi)
        if name.startswith("two_rc"):
            core = [r0, r1, 1.0 / (TWO_PI * 10 ** f1 * r1),
                    r2, 1.0 / (TWO_PI * 10 ** f2 * r2)]
            sub = "R0-(R1,C1)-(R2,C2)"
        else:
            a1, a2 = rng.uniform(0.5, 1.0, size=2)
            core = [r0, r1, _q_for(r1, a1, f1), a1, r2, _q_for(r2, a2, f2), a2]
            sub = "R0-(R1,CPE1)-(R2,CPE2)"
    elif name == "randles":
        r1 = r0 * 10 ** rng.uniform(-1.0, 3.5)
        fc = rng.uniform(lo + 0.3, hi + 0.2)
        fw = rng.uniform(lo - 0.3, fc)
        aw = r1 * math.sqrt(TWO_PI * 10 ** fw)
        al = rng.uniform(0.5, 1.0)
        return [r0, r1, aw, _q_for(r1, al, fc), al]
    elif name in ("sei_randles", "sei_randles_wo"):
        r1, r2 = _two_rs(rng, r0)
        a, b = (lo + 0.2 if name == "sei_randles" else lo + 0.5), hi + 0.2
        gap = rng.uniform(0.8, min(4.0, b - a - 0.05))
        f2 = rng.uniform(a, b - gap)
        f1 = f2 + gap
        a1, a2 = rng.uniform(0.5, 1.0, size=2)
        head = [r0, r1, _q_for(r1, a1, f1), a1, r2]
        if name == "sei_randles":
            fw = rng.uniform(lo - 0.3, f2)
            return head + [r2 * math.sqrt(TWO_PI * 10 ** fw), _q_for(r2, a2, f2), a2]
        # diffusion knee below the charge-transfer arc and large enough to
        # show, otherwise R2 and the Wo trade off against each other
        z0 = r2 * 10 ** rng.uniform(-0.3, 1.5)
        fd = rng.uniform(lo - 0.1, f2 - 0.5)
        tau = 1.0 / (TWO_PI * 10 ** fd)
        return head + [z0, tau, _q_for(r2, a2, f2), a2]
    else:
        raise KeyError(name)
    if name.endswith("_l"):
        return [_inductance(rng, sub, core, f)] + core
    return core


def add_noise(rng, z, sigma):
    m = np.abs(z)
    return z + sigma * m * (rng.standard_normal(z.shape) + 1j * rng.standard_normal(z.shape))


def sample_spectrum(entry, rng, noise=None, backend="auto"):
    """(f, noisy Z, true values) for one random circuit of `entry`."""
    f = sample_grid(rng)
    values = sample_params(entry.name, rng, f)
    z = spectrum(entry.circuit, values, f, backend=backend)
    sigma = rng.uniform(0.0, NOISE_MAX) if noise is None else noise
    return f, add_noise(rng, z, sigma), np.array(values, dtype=np.float64)
