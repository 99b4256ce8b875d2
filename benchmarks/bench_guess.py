"""Quality and speed of the built-in starting-point networks (Circuit.guess).

    cmake --build build/dev -j2
    PYTHONPATH=build/dev:. python3 benchmarks/bench_guess.py [--quick] [--n N]
        [--models rq,randles] [--repeats R] [--detail] [--json out.json]

For each of the trained topologies (Circuit.ml_circuits()), draws held-out
synthetic spectra with training/sampling.py (grid, true parameters and noise
exactly as the training data are drawn), but with the NumPy seed 777000 + the
registry index of the topology, which no training or evaluation run uses, and
a fixed relative noise of 1.3 % (Z += 0.013*|Z|*(n1 + j*n2)). 500 spectra per
topology by default, 100 with --quick (the quick set is a prefix of the full one).

Per topology it reports:
  * guess error: |log10(guess/true)| in decades for the logarithmic parameters,
    |guess - true| for the CPE exponents, pooled per kind: resistances R
    (the .r parameters), capacitances C and CPE coefficients q, others
    (L, Warburg aw, Wo z0 and tau), and the alpha exponents;
  * fit success: the share of spectra on which the Levenberg-Marquardt fit
    started from the guess reaches the global optimum, taken as a cost within
    1 % of (or below) the cost of the fit started from the true parameters,
    plus 1e-12 absolute for exact fits; next to it the same share for the fit
    started from the catalogue defaults (Circuit(name) as constructed).
    All fits: fit(f, z, guess_init=False), modulus weighting, default settings;
  * latency: median wall time of one guess() call on one spectrum
    (time.perf_counter around each call; several spectra, many repeats each).

Targets (printed, never asserted):
  * fit from the guess reaches the optimum in >= 99 % of spectra for rc, rc_l,
    rq, rq_l, two_rc, two_rc_l, randles and >= 97 % for the others;
  * median guess error <= 0.3 decades for every resistance and every
    capacitance / CPE coefficient, parameter by parameter;
  * guess latency < 2 ms for the 16- and 32-channel networks, < 6 ms for the
    64-channel ones (sei_randles, sei_randles_wo).

A topology whose network has not been trained yet (its embedded weights are
empty, so guess() raises "weight file is truncated") is listed as "not trained".
Networks are embedded into the module at build time: rebuild after a new
models/*.eisnn appears. NumPy only; no PyTorch or SciPy needed.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import statistics
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

import kelvara  # noqa: E402
from training.registry import BY_NAME  # noqa: E402
from training.sampling import sample_spectrum  # noqa: E402

SEED_BASE = 777_000
NOISE = 0.013
N_FULL = 500
N_QUICK = 100
COST_REL = 0.01
COST_ABS = 1e-12
FIT_TARGET = {"rc": 99.0, "rc_l": 99.0, "rq": 99.0, "rq_l": 99.0, "two_rc": 99.0,
              "two_rc_l": 99.0, "randles": 99.0}
FIT_TARGET_OTHER = 97.0
DECADE_TARGET = 0.3
# Non-finite or non-positive guesses count as this many decades (so that they
# show in the percentiles without turning them into NaN).
BAD_GUESS_ERROR = 99.0
KINDS = ("R", "C", "other", "alpha")


def kind_of(param_name: str) -> str:
    p = param_name.split(".", 1)[1]
    if p == "r":
        return "R"
    if p in ("c", "q"):
        return "C"
    if p == "alpha":
        return "alpha"
    return "other"


def latency_limit_ms(channels: int) -> float:
    return 6.0 if channels >= 64 else 2.0


def fit_cost(circuit, values, f, z):
    """Cost of an LM fit started from `values` (None: the circuit as it is)."""
    start = circuit if values is None else circuit.with_values([float(v) for v in values])
    try:
        cost = start.fit(f, z, guess_init=False).cost
    except ValueError:
        return math.inf
    return cost if math.isfinite(cost) else math.inf


def reaches(cost, reference):
    return cost <= reference * (1.0 + COST_REL) + COST_ABS


def is_untrained(exc: Exception) -> bool:
    return "weight file is truncated" in str(exc)


def stale_note(name: str) -> str | None:
    """A hint when models/<name>.eisnn is newer than the imported module."""
    path = ROOT / "models" / f"{name}.eisnn"
    module_file = getattr(kelvara, "__file__", None)
    if not path.is_file() or not module_file:
        return None
    try:
        if path.stat().st_mtime > os.stat(module_file).st_mtime:
            return f"models/{name}.eisnn is newer than the loaded module; rebuild to embed it"
    except OSError:
        return None
    return None


def bench_topology(index, name, n, lat_spectra, repeats, progress):
    entry = BY_NAME[name]
    circuit = kelvara.Circuit(name)
    names = list(circuit.param_names())
    row = {"topology": name, "channels": entry.channels, "n": n, "status": "ok",
           "seed": SEED_BASE + index, "params": names}
    if names != list(entry.param_names):
        row["note"] = (f"module parameters {names} differ from the training "
                       f"registry's {list(entry.param_names)}")
    true_index = {p: i for i, p in enumerate(entry.param_names)}

    rng = np.random.default_rng(SEED_BASE + index)
    spectra = [sample_spectrum(entry, rng, noise=NOISE) for _ in range(n)]

    try:
        circuit.guess(spectra[0][0], spectra[0][1])  # loads the network
    except ValueError as exc:
        if is_untrained(exc):
            row["status"] = "not trained"
        else:
            row["status"] = f"guess failed: {exc}"
        note = stale_note(name)
        if note:
            row["note"] = note
        return row

    t0 = time.perf_counter()
    errors = np.empty((n, len(names)))
    n_bad_guess = 0
    n_guess_error = 0
    ok_guess = 0
    ok_default = 0
    n_ref = 0
    below_true = 0
    for i, (f, z, true) in enumerate(spectra):
        if progress and i and i % 50 == 0:
            print(f"  {name}: {i}/{n} spectra, {time.perf_counter() - t0:.1f} s",
                  file=sys.stderr, flush=True)
        truth = np.array([true[true_index[p]] for p in names])
        try:
            guess = np.array(circuit.guess(f, z), dtype=np.float64)
        except ValueError:
            n_guess_error += 1
            guess = np.full(len(names), math.nan)
        for k, p in enumerate(names):
            g, t = guess[k], truth[k]
            if kind_of(p) == "alpha":
                e = abs(g - t)
            elif g > 0 and math.isfinite(g):
                e = abs(math.log10(g / t))
            else:
                e = math.inf
            if not math.isfinite(e):
                n_bad_guess += 1
                e = BAD_GUESS_ERROR
            errors[i, k] = e

        c_true = fit_cost(circuit, truth, f, z)
        if not math.isfinite(c_true):
            continue  # no reference optimum for this spectrum
        n_ref += 1
        c_guess = (fit_cost(circuit, guess, f, z) if np.all(np.isfinite(guess))
                   else math.inf)
        c_default = fit_cost(circuit, None, f, z)
        ok_guess += reaches(c_guess, c_true)
        ok_default += reaches(c_default, c_true)
        below_true += c_guess < c_true * (1.0 - COST_REL)

    # Latency: each call timed on its own, on the first few spectra.
    times = []
    for f, z, _ in spectra[:lat_spectra]:
        circuit.guess(f, z)
        for _ in range(repeats):
            t = time.perf_counter()
            circuit.guess(f, z)
            times.append(time.perf_counter() - t)

    kinds = [kind_of(p) for p in names]
    for kind in KINDS:
        cols = [k for k, kd in enumerate(kinds) if kd == kind]
        if cols:
            pooled = errors[:, cols].ravel()
            row[f"{kind}_median"] = float(np.median(pooled))
            row[f"{kind}_p90"] = float(np.percentile(pooled, 90))
        else:
            row[f"{kind}_median"] = None
            row[f"{kind}_p90"] = None
    row["per_param"] = {p: {"kind": kinds[k],
                            "median": float(np.median(errors[:, k])),
                            "p90": float(np.percentile(errors[:, k], 90))}
                        for k, p in enumerate(names)}
    row["worst_RC_median"] = max((v["median"] for v in row["per_param"].values()
                                  if v["kind"] in ("R", "C")), default=None)
    row["fits"] = n_ref
    row["success_guess_pct"] = 100.0 * ok_guess / n_ref if n_ref else None
    row["success_default_pct"] = 100.0 * ok_default / n_ref if n_ref else None
    row["guess_fit_below_true_fit"] = int(below_true)
    row["bad_guess_values"] = n_bad_guess
    row["guess_errors"] = n_guess_error
    row["latency_ms"] = statistics.median(times) * 1e3
    row["latency_calls"] = len(times)
    row["seconds"] = time.perf_counter() - t0

    fit_target = FIT_TARGET.get(name, FIT_TARGET_OTHER)
    lat_target = latency_limit_ms(entry.channels)
    misses = []
    if row["success_guess_pct"] is None or row["success_guess_pct"] < fit_target:
        misses.append("fit")
    if row["worst_RC_median"] is not None and row["worst_RC_median"] > DECADE_TARGET:
        misses.append("dec")
    if row["latency_ms"] >= lat_target:
        misses.append("lat")
    row["targets"] = {"fit_pct": fit_target, "decades": DECADE_TARGET, "latency_ms": lat_target}
    row["missed"] = misses
    return row


def fmt(x, pattern):
    width = int(pattern.split(".")[0])
    return "-".rjust(width) if x is None else format(x, pattern)


def print_table(rows):
    head = (f"{'topology':<15}{'ch':>3}{'n':>5} {'R med':>6}{'R p90':>7} {'C/q med':>7}{'C/q p90':>8}"
            f" {'oth med':>7}{'oth p90':>8} {'a med':>6} {'guess%':>7}{'dflt%':>7}"
            f" {'lat ms':>7}  targets")
    print(head)
    print("-" * len(head))
    for r in rows:
        if r["status"] != "ok":
            print(f"{r['topology']:<15}{r['channels']:>3}{'':>5} {r['status']}")
            continue
        missed = "ok" if not r["missed"] else "MISS " + ",".join(r["missed"])
        print(f"{r['topology']:<15}{r['channels']:>3}{r['n']:>5}"
              f" {fmt(r['R_median'], '6.3f')}{fmt(r['R_p90'], '7.3f')}"
              f" {fmt(r['C_median'], '7.3f')}{fmt(r['C_p90'], '8.3f')}"
              f" {fmt(r['other_median'], '7.3f')}{fmt(r['other_p90'], '8.3f')}"
              f" {fmt(r['alpha_median'], '6.3f')}"
              f" {fmt(r['success_guess_pct'], '7.1f')}{fmt(r['success_default_pct'], '7.1f')}"
              f" {fmt(r['latency_ms'], '7.3f')}  {missed}")


def print_detail(rows):
    for r in rows:
        if r["status"] != "ok":
            continue
        print(f"\n{r['topology']}: per parameter (decades; absolute for alpha)")
        for p, v in r["per_param"].items():
            print(f"  {p:<12} {v['kind']:<6} median {v['median']:7.3f}   p90 {v['p90']:7.3f}")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help=f"{N_QUICK} spectra per topology")
    ap.add_argument("--n", type=int, default=None, help=f"spectra per topology (default {N_FULL})")
    ap.add_argument("--models", default="", help="comma-separated topology names (default: all)")
    ap.add_argument("--repeats", type=int, default=None,
                    help="timed guess() calls per latency spectrum (default 200, 50 with --quick)")
    ap.add_argument("--latency-spectra", type=int, default=10,
                    help="spectra used for the latency (default 10)")
    ap.add_argument("--detail", action="store_true", help="also print per-parameter errors")
    ap.add_argument("--json", metavar="PATH", help="also write the results as JSON")
    ap.add_argument("--no-progress", action="store_true")
    args = ap.parse_args(argv)

    registry = list(kelvara.Circuit.ml_circuits())
    if args.models:
        wanted = [m.strip() for m in args.models.split(",") if m.strip()]
        unknown = [m for m in wanted if m not in registry]
        if unknown:
            ap.error(f"unknown topologies {unknown}; known: {', '.join(registry)}")
        names = [m for m in registry if m in wanted]
    else:
        names = registry
    n = args.n if args.n is not None else (N_QUICK if args.quick else N_FULL)
    repeats = args.repeats if args.repeats is not None else (50 if args.quick else 200)

    print(f"Circuit.guess benchmark: {n} held-out spectra per topology, seed {SEED_BASE} + "
          f"registry index, relative noise {NOISE:.1%}; module {getattr(kelvara, '__file__', '?')}")
    print(f"errors in decades (|log10(guess/true)|), alpha as absolute error; "
          f"success = LM fit cost <= {1 + COST_REL:g} x cost of the fit from the true values "
          f"+ {COST_ABS:g}; latency = median of single guess() calls")
    print(flush=True)

    t0 = time.perf_counter()
    rows = []
    for name in names:
        idx = registry.index(name)
        if not args.no_progress:
            print(f"{name} ...", file=sys.stderr, flush=True)
        rows.append(bench_topology(idx, name, n, args.latency_spectra, repeats,
                                   not args.no_progress))
    elapsed = time.perf_counter() - t0

    print_table(rows)
    for r in rows:
        if r.get("note"):
            print(f"note ({r['topology']}): {r['note']}")
        if r["status"] == "ok" and (r["bad_guess_values"] or r["guess_errors"]):
            print(f"note ({r['topology']}): {r['bad_guess_values']} non-finite or non-positive "
                  f"guessed values (counted as {BAD_GUESS_ERROR:g} decades), "
                  f"{r['guess_errors']} guess() errors")
    print()
    print("targets: fit from the guess reaches the optimum in >= 99% of spectra for rc, rc_l, rq,"
          " rq_l, two_rc, two_rc_l, randles, >= 97% for the others;")
    print(f"         median guess error <= {DECADE_TARGET} decades for every resistance and "
          "capacitance / CPE q (per parameter);")
    print("         guess latency < 2 ms for the 16/32-channel networks, < 6 ms for the "
          "64-channel ones (sei_randles, sei_randles_wo).")
    done = [r for r in rows if r["status"] == "ok"]
    met = [r["topology"] for r in done if not r["missed"]]
    print(f"         met by {len(met)} of {len(done)} measured topologies"
          + (f"; not measured: {', '.join(r['topology'] for r in rows if r['status'] != 'ok')}"
             if len(done) < len(rows) else "")
          + f"; total {elapsed:.0f} s")
    if args.detail:
        print_detail(rows)

    if args.json:
        out = {"spectra_per_topology": n, "seed_base": SEED_BASE, "noise": NOISE,
               "success_rule": {"relative": COST_REL, "absolute": COST_ABS},
               "latency_repeats": repeats, "latency_spectra": args.latency_spectra,
               "seconds": elapsed, "rows": rows}
        Path(args.json).write_text(json.dumps(out, indent=1))
        print(f"\nwrote {args.json}")


if __name__ == "__main__":
    main()
