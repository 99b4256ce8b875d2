"""How often Circuit.fit() reaches the optimum from poor starts, next to scipy and impedance.py.

    pip install impedance            # benchmark-only dependency (section A)
    PYTHONPATH=build/dev:benchmarks python benchmarks/bench_robustness.py [--quick] [--seed S]
        [--sections abc] [--spectra N] [--per-topology N] [--seeds N]

Every contender fits the same spectra from the same starts in this run. A fit is "good" when its
cost (1/2 sum of squared modulus-weighted residuals, recomputed with the NumPy models of
numpy_models.py from the parameters it returned) is within 1 % of, or below, the cost of a
kelvara fit started from the true parameters, + 1e-12 absolute. Tables give the share of good
fits and the median wall time per fit (time.perf_counter around each call); "only k/s" columns
count the spectra where only kelvara / only the peer is good.

(A) 200 spectra (40 with --quick) of R0-p(R1,CPE1)-p(R2,CPE2), 71 points from 100 kHz to 10 mHz,
    0.5 % relative complex Gaussian noise (Z += 0.005*|Z|*(n1 + j*n2)), arc peaks 1.5 to 3 decades
    apart and at least 0.7 decade inside the window, alpha 0.75..1. Start made by hand from the
    data: R0 = min Re Z, R1 = R2 = (max Re Z - min Re Z)/2, alpha = 0.85, Q = 1/(R1*w^0.85) at an
    apex of -Im Z, run twice: (A1) each arc from its own apex (the two highest local maxima of the
    3-point smoothed -Im Z at least one decade apart; where only one is found both arcs take it),
    (A2) both arcs from the global apex (a start symmetric in the two arcs).
    Contenders: kelvara fit (default LM, modulus weighting); scipy least_squares "lm" and "trf"
    driving Circuit.residuals with its default 2-point Jacobian, in search coordinates
    (log10(p - lower) for the parameters without an upper bound, the CPE exponents as they are;
    "trf" gets the bounds [0, 1] on the exponents, "lm" no bounds); impedance.py's
    CustomCircuit.fit (its default optimiser) with weight_by_modulus=True, so that every contender
    minimises the same cost (its default unit weighting would optimise a different one).
    Target: kelvara >= 90 % good and no peer with a higher share.
(B) The registry topologies (Circuit.ml_circuits()), 50 spectra each (10 with --quick),
    drawn with training/sampling.py (grid, true values and noise as in training; NumPy seed
    S + 1000 + registry index). Each is fitted from the catalogue defaults (Circuit(notation) as
    constructed, fit(guess_init=False)) and from a rough start (every unbounded parameter of the
    truth times 10**U(-1, 1), exponents at the truth). Contenders: kelvara fit, and the same
    nine-candidate multi-start scheme driven by scipy's MINPACK (least_squares "lm" with
    Circuit.jacobian mapped to search coordinates, ftol = xtol = gtol = 1e-8,
    max_nfev = 200*(P + 1)): candidates scored and stable-sorted by cost, run in order until one
    is settled (converged, finite cost, every parameter interior), best kept by the same rule
    (converged beats not converged, then lower cost), result clamped into the bounds. The
    second run with parameters pinned at a bound frozen is omitted here.
    Target: kelvara at least as often good as the scipy scheme on every topology.
(C) 100 seeds (20 with --quick) of fit(method="particle_swarm", num_particles=20, generations=15)
    and fit(method="differential_evolution", de_evaluations=30; ten runs of 30, ~300 evaluations)
    from a poor start on one R0-p(R1,CPE1) spectrum (both end in the LM polish), next to the plain
    LM fit from that start. Differential evolution draws its own entropy: its seed is unused.
    Target: >= 97 % good for both.
"""

from __future__ import annotations

import argparse
import importlib.util
import math
import statistics
import sys
import time
import warnings
from pathlib import Path

import numpy as np
from scipy.optimize import least_squares

ROOT = Path(__file__).resolve().parent.parent
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

import kelvara  # noqa: E402
import numpy_models as nm  # noqa: E402
from training.registry import MODELS  # noqa: E402
from training.sampling import sample_spectrum  # noqa: E402

TWO_ARC = "R0-p(R1,CPE1)-p(R2,CPE2)"
NOISE_A = 0.005
COST_REL, COST_ABS = 0.01, 1e-12
LN10 = 2.302585092994046
NUMPY_MODEL = {"rc": nm.rc, "rc_l": nm.with_inductor(nm.rc), "rq": nm.rq,
               "rq_l": nm.with_inductor(nm.rq), "two_rc": nm.two_rc,
               "two_rc_l": nm.with_inductor(nm.two_rc), "two_rq": nm.two_rq,
               "two_rq_l": nm.with_inductor(nm.two_rq), "randles": nm.randles,
               "sei_randles": nm.sei_randles, "sei_randles_wo": nm.sei_randles_wo}


def cost(model, p, f, z):
    with np.errstate(all="ignore"):
        d = (model(f, *p) - z) / np.abs(z)
        c = 0.5 * float(np.sum(d.real**2 + d.imag**2))
    return c if math.isfinite(c) else math.inf


def noisy(z, rng):
    return z + NOISE_A * np.abs(z) * (rng.standard_normal(z.size) + 1j * rng.standard_normal(z.size))


def is_good(c, reference):
    return c <= reference * (1.0 + COST_REL) + COST_ABS


def timed(fn, *args, **kw):
    t = time.perf_counter()
    try:
        out = fn(*args, **kw)
    except (ValueError, RuntimeError, np.linalg.LinAlgError):
        out = None  # a failed fit: counted as not good
    return out, time.perf_counter() - t


def kelvara_fit(circuit, f, z, **kw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        r = circuit.fit(f, z, guess_init=False, **kw)
    return [r.params[n] for n in circuit.param_names()]


class Coords:
    """Search coordinates: log10(p - lower) where the upper bound is infinite, else p itself."""

    def __init__(self, circuit):
        self.lo, self.hi = np.array(circuit.param_bounds(), dtype=float).T
        self.log = ~np.isfinite(self.hi)

    def x(self, p):
        return np.where(self.log, np.log10(np.maximum(np.asarray(p) - self.lo, 1e-300)), p)

    def p(self, x):
        with np.errstate(over="ignore"):
            return np.where(self.log, self.lo + 10.0 ** np.asarray(x), x)


def scipy_fit(circuit, f, z, start, method, jacobian=False, **options):
    """least_squares in search coordinates; returns (physical parameters, converged)."""
    cs = Coords(circuit)

    def fun(x):
        return np.asarray(circuit.residuals(cs.p(x), f, z))

    if jacobian:
        def jac(x):
            p = cs.p(x)
            return np.asarray(circuit.jacobian(p, f, z)) * np.where(cs.log, (p - cs.lo) * LN10, 1.0)
        options["jac"] = jac
    if method == "trf":
        options["bounds"] = (np.where(cs.log, -np.inf, cs.lo), np.where(cs.log, np.inf, cs.hi))
    try:
        with np.errstate(all="ignore"):
            out = least_squares(fun, cs.x(start), method=method, **options)
    except (ValueError, np.linalg.LinAlgError):
        return np.full(len(start), np.nan), False
    return cs.p(out.x), out.status > 0


def scipy_multistart(circuit, f, z, p0):
    """The nine-candidate multi-start scheme, each start a MINPACK run through scipy."""
    cs, p0 = Coords(circuit), np.asarray(p0, dtype=float)
    lin, span = ~cs.log, cs.hi - cs.lo

    def score(p):
        with np.errstate(all="ignore"):
            return 0.5 * float(np.sum(np.square(circuit.residuals(p, f, z))))

    def settled(p, converged, c):
        if not (converged and math.isfinite(c)):
            return False
        edge = (np.abs(p - cs.lo) <= 1e-6 * span) | (np.abs(cs.hi - p) <= 1e-6 * span)
        ratio = p / np.maximum(np.abs(p0), 1e-300)
        inner = (p > 100 * cs.lo) & np.isfinite(ratio) & (ratio >= 1e-6) & (ratio < 1e6)
        return not np.any(edge[lin]) and bool(np.all(inner[cs.log]))

    with np.errstate(all="ignore"):
        candidates = [p0] + [np.where(cs.log, p0 * k, p0) for k in (3.0, 1 / 3, 8.0, 0.125)]
        candidates += [np.where(lin, cs.lo + s * span, p0) for s in (0.2, 0.4, 0.6, 0.8)]
    scores = [score(c) for c in candidates]
    order = sorted(range(9), key=lambda i: (math.isnan(scores[i]), np.nan_to_num(scores[i])))
    budget = 200 * (len(p0) + 1)
    best = None  # (converged, cost, parameters)
    for i in order:
        p, ok = scipy_fit(circuit, f, z, candidates[i], "lm", jacobian=True, ftol=1e-8,
                          xtol=1e-8, gtol=1e-8, max_nfev=budget)
        c = score(p)
        if best is None or (ok and not best[0]) or (ok == best[0] and c < best[1]):
            best = (ok, c, p)
        if settled(p, ok, c):
            break
    return np.clip(best[2], cs.lo, cs.hi)


def run(contenders, model, f, z, reference, tally):
    """Fit with every contender; tally[name] collects (good, seconds, well below the reference)."""
    for name, fn in contenders.items():
        p, seconds = timed(fn)
        c = math.inf if p is None else cost(model, np.asarray(p, dtype=float), f, z)
        tally.setdefault(name, []).append((is_good(c, reference), seconds, c < reference * 0.99))


def share(rows):
    return 100.0 * sum(r[0] for r in rows) / max(len(rows), 1)


def median_ms(rows):
    return 1e3 * statistics.median(r[1] for r in rows) if rows else math.nan


# ---------------------------------------------------------------- section A

def two_arc_spectrum(rng):
    f = np.logspace(5, -2, 71)
    gap = rng.uniform(1.5, 3.0)
    slow = rng.uniform(-2 + 0.7, 5 - 0.7 - gap)
    r0 = 10 ** rng.uniform(-1, 1)
    r1 = r0 * 10 ** rng.uniform(0, 2)
    r2 = r1 * 10 ** rng.uniform(-0.5, 0.5)
    a1, a2 = rng.uniform(0.75, 1.0, 2)
    q1, q2 = ((1 / (nm.TWO_PI * 10**lf)) ** a / r for r, a, lf in ((r1, a1, slow + gap), (r2, a2, slow)))
    truth = np.array([r0, r1, q1, a1, r2, q2, a2])
    return f, noisy(nm.two_rq(f, *truth), rng), truth


def hand_start(f, z, per_arc):
    """(start, found two apexes) from the shape of the spectrum, alpha fixed at 0.85."""
    order = np.argsort(f)
    fs, v = f[order], -z.imag[order]
    apexes = [fs[np.argmax(v)]] * 2
    if per_arc:
        s = np.convolve(v, np.ones(3) / 3, mode="same")
        peaks = sorted((i for i in range(1, len(s) - 1) if s[i] >= s[i - 1] and s[i] >= s[i + 1]),
                       key=lambda i: -s[i])
        if peaks:
            apexes = [fs[peaks[0]]] * 2
            apexes[1] = next((fs[i] for i in peaks[1:] if abs(math.log10(fs[i] / apexes[0])) >= 1.0),
                             apexes[0])
    r = 0.5 * (z.real.max() - z.real.min())
    q = [1 / (r * (nm.TWO_PI * fa) ** 0.85) for fa in sorted(apexes, reverse=True)]
    return [z.real.min(), r, q[0], 0.85, r, q[1], 0.85], apexes[0] != apexes[1]


def impedance_fit(f, z, start):
    from impedance.models.circuits import CustomCircuit
    peer = CustomCircuit(circuit=TWO_ARC, initial_guess=list(start))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        peer.fit(f, z, weight_by_modulus=True)
    return peer.parameters_


def section_a(n, seed):
    have_peer = importlib.util.find_spec("impedance") is not None
    circuit = kelvara.Circuit(TWO_ARC)
    rng = np.random.default_rng(seed)
    spectra = [two_arc_spectrum(rng) for _ in range(n)]
    print(f"(A) {n} spectra of {TWO_ARC}, noise {NOISE_A:.1%}, peaks 1.5-3 decades apart; "
          "start from the data, alpha 0.85")
    for label, per_arc in (("A1 Q from each arc's apex", True), ("A2 Q from the global apex", False)):
        tally, two_found = {}, 0
        for f, z, truth in spectra:
            start, found = hand_start(f, z, per_arc)
            two_found += found
            reference = cost(nm.two_rq, kelvara_fit(circuit.with_values(truth), f, z), f, z)
            contenders = {
                "kelvara fit (LM)": lambda: kelvara_fit(circuit.with_values(start), f, z),
                "scipy least_squares lm": lambda: scipy_fit(circuit, f, z, start, "lm")[0],
                "scipy least_squares trf": lambda: scipy_fit(circuit, f, z, start, "trf")[0]}
            if have_peer:
                contenders["impedance.py CustomCircuit.fit"] = lambda: impedance_fit(f, z, start)
            run(contenders, nm.two_rq, f, z, reference, tally)
        note = f"; two apexes found in {two_found}/{n}" if per_arc else ""
        print(f"  {label}{note}")
        print(f"    {'contender':32} {'good':>7} {'median time':>12} {'only k/s':>9}")
        ours = tally["kelvara fit (LM)"]
        for name, rows in tally.items():
            only = "" if rows is ours else (f"{sum(o[0] > r[0] for r, o in zip(rows, ours))}/"
                                            f"{sum(r[0] > o[0] for r, o in zip(rows, ours))}")
            print(f"    {name:32} {share(rows):6.1f}% {median_ms(rows):9.3f} ms {only:>9}")
        below = sum(r[2] for rows in tally.values() for r in rows)
        best_peer = max((share(r) for k, r in tally.items() if r is not ours), default=0.0)
        met = share(ours) >= 90.0 and share(ours) >= best_peer
        print(f"    target: kelvara >= 90 % good, no peer ahead: {'met' if met else 'MISSED'}"
              f"  ({below} fits more than 1 % below the reference)")
    if not have_peer:
        print("  impedance.py is not installed (pip install impedance): its row is skipped")
    print()


# ---------------------------------------------------------------- section B

def section_b(n, seed):
    print(f"(B) registry topologies, {n} spectra each (training/sampling.py, seed {seed + 1000} + index);"
          " kelvara fit vs the nine-start scheme on scipy MINPACK")
    print(f"  {'':19} {'from catalogue defaults':-^39} {'from rough starts':-^39}")
    head = f"  {'topology':16}{'P':>3}" + f" {'kelvara':>8} {'scipy':>7} {'k ms':>6} {'s ms':>6} {'only k/s':>8}" * 2
    print(head + "  target")
    all_met, below, registry = True, 0, list(kelvara.Circuit.ml_circuits())
    for entry in MODELS:
        circuit, model = kelvara.Circuit(entry.circuit), NUMPY_MODEL[entry.name]
        if list(circuit.param_names()) != list(entry.param_names):
            print(f"  {entry.name:16} parameter names differ from the training registry: skipped")
            continue
        cs = Coords(circuit)
        rng = np.random.default_rng(seed + 1000 + registry.index(entry.name))
        tally = {}
        for _ in range(n):
            f, z, truth = sample_spectrum(entry, rng)
            rough = np.where(cs.log, truth * 10 ** rng.uniform(-1, 1, truth.size), truth)
            reference = cost(model, kelvara_fit(circuit.with_values(truth), f, z), f, z)
            for start, p0 in (("dflt", circuit.param_values()), ("rough", rough)):
                run({f"{start} k": lambda: kelvara_fit(circuit.with_values(p0), f, z),
                     f"{start} s": lambda: scipy_multistart(circuit, f, z, p0)},
                    model, f, z, reference, tally)
        cells, met = "", True
        for start in ("dflt", "rough"):
            k, s = tally[f"{start} k"], tally[f"{start} s"]
            only = f"{sum(a[0] > b[0] for a, b in zip(k, s))}/{sum(b[0] > a[0] for a, b in zip(k, s))}"
            met &= share(k) >= share(s)
            below += sum(r[2] for r in k + s)
            cells += (f" {share(k):7.1f}% {share(s):6.1f}% {median_ms(k):6.2f} {median_ms(s):6.1f}"
                      f" {only:>8}")
        all_met &= met
        print(f"  {entry.name:16}{len(truth):3d}{cells}  {'ok' if met else 'MISS'}")
    print(f"  (only k/s: spectra where only kelvara / only the scipy scheme is good; "
          f"{below} fits more than 1 % below the reference)")
    print(f"  target: kelvara good at least as often as the scipy scheme on every topology: "
          f"{'met' if all_met else 'MISSED'}")
    print()


# ---------------------------------------------------------------- section C

def section_c(n, seed):
    truth, start = [20.0, 500.0, 2e-5, 0.82], [1e3, 5.0, 1e-2, 0.5]
    f = np.logspace(5, -2, 71)
    z = noisy(nm.rq(f, *truth), np.random.default_rng(seed))
    circuit = kelvara.Circuit("R0-p(R1,CPE1)")
    reference = cost(nm.rq, kelvara_fit(circuit.with_values(truth), f, z), f, z)
    print(f"(C) global search + LM polish, {n} seeds, R0-p(R1,CPE1) truth {truth}, start {start}")
    methods = {"levenberg_marquardt (no seed)": {},
               "particle_swarm 20 x 15": dict(method="particle_swarm", num_particles=20, generations=15),
               "differential_evolution 10 x 30": dict(method="differential_evolution",
                                                      de_evaluations=30)}
    print(f"  {'method':32} {'good':>7} {'median time':>12} {'median evals':>13}")
    all_met = True
    for label, options in methods.items():
        rows, evals = [], []
        for s in range(n):
            kw = dict(options, seed=seed + s) if options else {}
            r, seconds = timed(circuit.with_values(start).fit, f, z, guess_init=False, **kw)
            c = math.inf if r is None else cost(nm.rq, [r.params[k] for k in circuit.param_names()], f, z)
            rows.append((is_good(c, reference), seconds))
            evals.append(r.impedance_evals if r is not None else 0)
        if options:
            all_met &= share(rows) >= 97.0
        print(f"  {label:32} {share(rows):6.1f}% {median_ms(rows):9.3f} ms {statistics.median(evals):13.0f}")
    print(f"  target: >= 97 % good for both global methods: {'met' if all_met else 'MISSED'}")
    print()


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer spectra and seeds")
    ap.add_argument("--seed", type=int, default=20_240, help="base NumPy seed (default 20240)")
    ap.add_argument("--sections", default="abc", help="any of a, b, c (default abc)")
    ap.add_argument("--spectra", type=int, help="section A spectra (default 200, 40 with --quick)")
    ap.add_argument("--per-topology", type=int, help="section B spectra (default 50, 10 with --quick)")
    ap.add_argument("--seeds", type=int, help="section C seeds (default 100, 20 with --quick)")
    args = ap.parse_args(argv)
    print(f"kelvara from {kelvara.__file__}; numpy {np.__version__}; python {sys.version.split()[0]}")
    print(f"good = cost <= {1 + COST_REL:g} x cost of the kelvara fit from the truth + {COST_ABS:g}"
          " (costs recomputed with NumPy, modulus weighting)")
    print()
    t0 = time.perf_counter()
    if "a" in args.sections:
        section_a(args.spectra or (40 if args.quick else 200), args.seed)
    if "b" in args.sections:
        section_b(args.per_topology or (10 if args.quick else 50), args.seed)
    if "c" in args.sections:
        section_c(args.seeds or (20 if args.quick else 100), args.seed)
    print(f"total {time.perf_counter() - t0:.0f} s")


if __name__ == "__main__":
    main()
