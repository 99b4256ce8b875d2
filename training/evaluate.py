"""Held-out check of an exported network, through the reference forward pass.

    python -m training.evaluate rq [--n 2000] [--fits 300]

Spectra come from a seed never used in training and a fixed noise level of
1.3 %.  Reports, per output, the median and 90th-percentile error of the guess
(decades for logarithmic outputs, absolute for exponents), and how often a
least-squares fit started from the guess ends as low as one started from the
true values (a stand-in for "reaches the global optimum").  With `--lm N` it
also runs the module's own Levenberg-Marquardt fit on N further held-out
spectra, guessing with the file under test (Circuit.guess(weights=...)): the
same check as benchmarks/bench_guess.py, on spectra that benchmark never draws.

    python -m training.evaluate sei_randles --fits 0 --lm 2000
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


LM_OFFSET = 555_555


def lm_fit_success(entry: Entry, path, n=1000, seed=None):
    """Share of held-out spectra where kelvara's LM fit started from the guess of
    `path` ends within 1 % of the cost of the fit started from the true values."""
    import kelvara

    from .train import seed_for

    circuit = kelvara.Circuit(entry.name)
    if list(circuit.param_names()) != list(entry.param_names):
        raise ValueError(f"{entry.name}: module parameters differ from the registry's")
    rng = np.random.default_rng(seed if seed is not None else seed_for(entry) + LM_OFFSET)

    def cost(values):
        try:
            c = circuit.with_values([float(v) for v in values]).fit(f, z, guess_init=False).cost
        except ValueError:
            return math.inf
        return c if math.isfinite(c) else math.inf

    ok = counted = 0
    for _ in range(n):
        f, z, v = sample_spectrum(entry, rng, noise=HELD_OUT_NOISE)
        c_true = cost(v)
        if not math.isfinite(c_true):
            continue
        counted += 1
        g = np.asarray(circuit.guess(f, z, weights=str(path)), dtype=np.float64)
        c_guess = cost(g) if np.all(np.isfinite(g)) else math.inf
        ok += c_guess <= c_true * 1.01 + 1e-12
    return ok / counted if counted else None, counted


def format_table(res) -> str:
    fits = ("" if res["fit_success"] is None else
            f"; LM from guess reaches the optimum in "
            f"{100 * res['fit_success']:.1f}% of {res['fits']} fits")
    lines = [f"{res['name']}: held-out n={res['n']}, noise {HELD_OUT_NOISE:.1%}{fits}",
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
    ap.add_argument("--lm", type=int, default=0, metavar="N",
                    help="also check N fits with the built module's LM (default 0)")
    args = ap.parse_args(argv)
    names = TRAIN_ORDER if args.names == ["all"] else args.names
    for name in names:
        path = Path(args.models) / f"{name}.eisnn"
        res = evaluate(BY_NAME[name], path, args.n, args.fits)
        print(format_table(res), flush=True)
        if args.lm:
            share, counted = lm_fit_success(BY_NAME[name], path, args.lm)
            print(f"{name}: kelvara LM from guess reaches the optimum in "
                  f"{100 * share:.1f}% of {counted} fits", flush=True)


if __name__ == "__main__":
    main()
