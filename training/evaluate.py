"""Held-out check of an exported network, through the reference forward pass.

    python -m training.evaluate rq [--n 2000] [--fits 300]

Spectra come from a seed never used in training and a fixed noise level of
1.3 %.  Reports, per output, the median and 90th-percentile error of the guess
(decades for logarithmic outputs, absolute for exponents), and how often a
least-squares fit started from the guess ends as low as one started from the
true values (a stand-in for "reaches the global optimum").
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import time
from pathlib import Path

if __package__ in (None, ""):
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
    __package__ = "training"

import numpy as np

from . import eisnn, reference
from .registry import BY_NAME, TRAIN_ORDER, Entry
from .sampling import sample_spectrum
from .simulate import impedance_numpy

HELD_OUT_NOISE = 0.013
HELD_OUT_OFFSET = 777_777
RESULTS = Path(os.environ.get("KELVARA_TRAIN_CACHE", "/tmp/kelvara_training_cache"))


def _fit(entry: Entry, f, z, start, log_mask):
    """Least-squares fit with modulus weighting from `start`; returns cost, x."""
    from scipy.optimize import least_squares

    m = np.abs(z)

    def to_values(p):
        return np.where(log_mask, 10.0 ** p, p)

    def resid(p):
        zz = impedance_numpy(entry.circuit, to_values(p), f)
        r = (zz - z) / m
        out = np.concatenate([r.real, r.imag])
        return np.where(np.isfinite(out), out, 1e3)

    p0 = np.where(log_mask, np.log10(np.maximum(start, 1e-300)), start)
    # log parameters bounded to 1e-12 .. 1e15 (the module's lower bound is 1e-12)
    lo = np.where(log_mask, -12.0, 0.0)
    hi = np.where(log_mask, 15.0, 1.0)
    p0 = np.clip(p0, lo + 1e-9, hi - 1e-9)
    res = least_squares(resid, p0, bounds=(lo, hi), method="trf", max_nfev=400 * len(p0),
                        x_scale=1.0)
    return float(res.cost), to_values(res.x)


def evaluate(entry: Entry, path, n=2000, fits=300, seed=None, progress=True):
    from .train import seed_for

    net = eisnn.load(path)
    rng = np.random.default_rng(seed if seed is not None else seed_for(entry) + HELD_OUT_OFFSET)
    log_mask = entry.log_params.astype(bool)
    errs = np.empty((n, entry.P))
    ok = []
    t0 = time.time()
    for i in range(n):
        f, z, v = sample_spectrum(entry, rng, noise=HELD_OUT_NOISE)
        g = reference.predict(net, f, z)
        errs[i] = np.where(log_mask, np.abs(np.log10(g / v)), np.abs(g - v))
        if i < fits:
            c_guess, _ = _fit(entry, f, z, g, log_mask)
            c_true, _ = _fit(entry, f, z, v, log_mask)
            ok.append(c_guess <= c_true * (1 + 1e-3) + 1e-12)
    res = {
        "name": entry.name,
        "params": entry.param_names,
        "log": log_mask.tolist(),
        "median": np.median(errs, axis=0).tolist(),
        "p90": np.percentile(errs, 90, axis=0).tolist(),
        "fit_success": float(np.mean(ok)) if ok else None,
        "n": n,
        "fits": len(ok),
        "seconds": time.time() - t0,
    }
    RESULTS.mkdir(parents=True, exist_ok=True)
    (RESULTS / f"eval_{entry.name}.json").write_text(json.dumps(res, indent=1))
    return res


def format_table(res) -> str:
    lines = [f"{res['name']}: held-out n={res['n']}, noise {HELD_OUT_NOISE:.1%}; "
             f"LM from guess reaches the optimum in "
             f"{100 * res['fit_success']:.1f}% of {res['fits']} fits",
             f"  {'parameter':<12} {'median':>8} {'p90':>8}"]
    for name, lg, med, p90 in zip(res["params"], res["log"], res["median"], res["p90"]):
        unit = "dec" if lg else "abs"
        lines.append(f"  {name:<12} {med:8.3f} {p90:8.3f} {unit}")
    return "\n".join(lines)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("names", nargs="+")
    ap.add_argument("--models", default=str(Path(__file__).resolve().parent.parent / "models"))
    ap.add_argument("--n", type=int, default=2000)
    ap.add_argument("--fits", type=int, default=300)
    args = ap.parse_args(argv)
    names = TRAIN_ORDER if args.names == ["all"] else args.names
    for name in names:
        res = evaluate(BY_NAME[name], Path(args.models) / f"{name}.eisnn", args.n, args.fits)
        print(format_table(res), flush=True)


if __name__ == "__main__":
    main()
