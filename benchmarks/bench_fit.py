"""Circuit.fit() (Levenberg-Marquardt) against impedance.py and scipy.optimize.least_squares.

    pip install impedance            # benchmark-only dependency
    python benchmarks/bench_fit.py [--quick] [--previous PYTHON] [--only SECTIONS, e.g. gi]

Sections, every number measured in this run:
  (a) impedance.py's CustomCircuit.fit with the same circuit, data and initial guess:
      time per fit, ratio, final cost of both (target >= 100x faster, our cost no higher);
  (b) impedance.py's example spectrum, unit weights: our chi-square next to the peer's;
  (c) scipy.optimize.least_squares(method="lm") driving Circuit.residuals from the same start:
      residual evaluations, time and final cost of both;
  (d) default fit() of a 60-point Randles spectrum, guess included: median of 200 fits (target < 1 ms);
  (e) 200 fits of different spectra on one thread vs two Python threads (target >= 1.7x);
  (f) resident-size growth over 100,000 fits of a small circuit (10,000 with --quick; target < 1 MB);
  (g) with --previous PYTHON (an interpreter that imports an earlier build): the same timings
      under both builds, run alternately in subprocesses, best of each, and their ratio;
  (i) with --previous: instructions per run of the same cases under both builds (valgrind's callgrind);
  (h) the battery spectrum with R0 fixed, and with the CPE exponents bounded to [0.7, 1], against
      impedance.py's CustomCircuit with `constants` and `bounds`: time per fit, ratio, costs.
Costs are 1/2 * sum of squared residuals, recomputed here with NumPy for both sides.
"""

from __future__ import annotations

import os
import statistics
import sys
import threading
import time
import warnings
from pathlib import Path

import numpy as np
from scipy.optimize import least_squares

import kelvara
from numpy_models import TWO_PI, angular as _w, randles_wo, randles, two_rq, rc

# the sample files shipped with the tests
DATA = Path(__file__).resolve().parents[1] / "tests" / "data"
QUICK = "--quick" in sys.argv[1:]
PREVIOUS = sys.argv[sys.argv.index("--previous") + 1] if "--previous" in sys.argv[1:-1] else None
ONLY = sys.argv[sys.argv.index("--only") + 1] if "--only" in sys.argv[1:-1] else "abcdefghi"


def cost(model, p, f, z, weight):
    d = (model(f, *p) - z) / (np.abs(z) if weight == "modulus" else 1.0)
    return 0.5 * float(np.sum(d.real**2 + d.imag**2))


def synthetic(model, p, n=60, noise=0.01, seed=0):
    rng = np.random.default_rng(seed)
    f = np.logspace(5, -2, n)
    return f, model(f, *p) * (1 + noise * (rng.standard_normal(n) + 1j * rng.standard_normal(n)))


def example_spectrum():
    a = np.loadtxt(DATA / "exampleData.csv", delimiter=",")
    f, z = a[:, 0], a[:, 1] + 1j * a[:, 2]
    keep = z.imag < 0
    return f[keep], z[keep]


def median_time(fn, repeats):
    times = []
    for _ in range(repeats):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def fmt_t(seconds):
    return f"{seconds * 1e3:9.3f} ms" if seconds >= 1e-3 else f"{seconds * 1e6:9.1f} us"


def cases():
    out = []
    if DATA.is_dir():
        f, z = example_spectrum()
        out.append(("exampleData.csv", "R0-p(R1,C1)-p(R2-Wo1,C2)", randles_wo, f, z,
                    [0.01, 0.01, 100.0, 0.01, 0.05, 100.0, 1.0], "unit"))
    else:
        print(f"  ({DATA} not found: exampleData.csv cases skipped)")
    f, z = synthetic(randles, [0.1, 2.0, 0.5, 1e-4, 0.85])
    out.append(("Randles, 60 points", "R0-p(R1-W1,CPE1)", randles, f, z, [0.3, 6.0, 0.15, 4e-4, 0.7], "modulus"))
    f, z = synthetic(two_rq, [0.2, 1.0, 1e-5, 0.9, 5.0, 1e-2, 0.7])
    out.append(("two RQ, 60 points", "R0-p(R1,CPE1)-p(R2,CPE2)", two_rq, f, z,
                [0.6, 3.0, 4e-5, 0.75, 1.5, 3e-3, 0.85], "modulus"))
    return out


def ours(notation, f, z, start, weight):
    circuit = kelvara.Circuit(notation).with_values(start)
    return circuit, lambda: circuit.fit(f, z, weight=weight)


def section_a_b(all_cases):
    print("(a) against impedance.py CustomCircuit.fit (same circuit, data, initial guess, weighting)")
    try:
        from impedance.models.circuits import CustomCircuit
    except ImportError:
        print("  impedance.py is not installed (pip install impedance): skipped")
        return None
    peer_chi = None
    print(f"  {'case':22} {'weight':8} {'kelvara':>12} {'impedance.py':>12} {'ratio':>8}"
          f" {'our cost':>13} {'peer cost':>13}")
    for label, notation, model, f, z, start, weight in all_cases:
        circuit, run = ours(notation, f, z, start, weight)
        result = run()
        t_ours = median_time(run, 50)

        def peer_fit():
            peer = CustomCircuit(circuit=notation, initial_guess=list(start))
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                peer.fit(f, z, weight_by_modulus=(weight == "modulus"))
            return peer

        peer = peer_fit()
        t_peer = median_time(peer_fit, 5)
        c_ours = cost(model, [result.params[n] for n in circuit.param_names()], f, z, weight)
        c_peer = cost(model, peer.parameters_, f, z, weight)
        print(f"  {label:22} {weight:8} {fmt_t(t_ours):>12} {fmt_t(t_peer):>12} {t_peer / t_ours:7.0f}x"
              f" {c_ours:13.6e} {c_peer:13.6e}")
        if label == "exampleData.csv":
            peer_chi = (result.chi_square, 2 * c_peer, result.params, peer.parameters_)
    print()
    print("(b) exampleData.csv, R0-p(R1,C1)-p(R2-Wo1,C2), unit weights: chi-square")
    if peer_chi is None:
        print("  skipped (no data)")
    else:
        ours_chi, peer_value, params, peer_params = peer_chi
        print(f"  kelvara      chi_square = {ours_chi:.9e}")
        print(f"  impedance.py chi_square = {peer_value:.9e}   (ratio ours/peer {ours_chi / peer_value:.9f})")
        print("  parameters (kelvara / impedance.py):")
        for (name, value), other in zip(params.items(), peer_params):
            print(f"    {name:8} {value:.6e}  {other:.6e}")
    print()


def section_c(all_cases):
    print("(c) against scipy.optimize.least_squares(method='lm') driving Circuit.residuals, same start")
    print(f"  {'case':22} {'driver':18} {'evaluations':>11} {'time':>12} {'cost':>13}")
    for label, notation, model, f, z, start, weight in all_cases:
        circuit, run = ours(notation, f, z, start, weight)
        result = run()
        t_ours = median_time(run, 30)
        c_ours = cost(model, [result.params[n] for n in circuit.param_names()], f, z, weight)
        print(f"  {label:22} {'kelvara fit':18} {result.impedance_evals:11d} {fmt_t(t_ours):>12} {c_ours:13.6e}")
        fl, zl = list(f), list(z)
        for with_jac in (False, True):
            calls = [0]

            def fun(p):
                calls[0] += 1
                return np.asarray(circuit.residuals(p, fl, zl, weight=weight))

            jac = (lambda p: np.asarray(circuit.jacobian(p, fl, zl, weight=weight))) if with_jac else "2-point"

            def drive():
                calls[0] = 0
                return least_squares(fun, np.array(start, dtype=float), jac=jac, method="lm")

            out = drive()
            evaluations = calls[0] + (out.njev * 2 * len(start) if with_jac else 0)
            t_scipy = median_time(drive, 10)
            with np.errstate(all="ignore"):
                c_scipy = cost(model, out.x, f, z, weight)
            name = "scipy lm + jacobian" if with_jac else "scipy lm"
            print(f"  {'':22} {name:18} {evaluations:11d} {fmt_t(t_scipy):>12} {c_scipy:13.6e}"
                  f"   ({t_scipy / t_ours:.1f}x our time)")
    print("  (evaluations: residual vectors computed; for the scipy + jacobian row, "
          "each Circuit.jacobian counts 2P)")
    print()


def section_d():
    print("(d) default fit() of a 60-point Randles spectrum (guess included), median of 200 fits")
    f, z = synthetic(randles, [0.1, 2.0, 0.5, 1e-4, 0.85], seed=4)
    circuit = kelvara.Circuit("randles")
    try:
        circuit.guess(f, z)
    except ValueError as e:
        print(f"  randles weights not available ({e}): skipped\n")
        return
    fl, zl = list(f), list(z)
    circuit.fit(fl, zl)
    guess_only = median_time(lambda: circuit.guess(fl, zl), 200)
    t = median_time(lambda: circuit.fit(fl, zl), 200)
    r = circuit.fit(fl, zl)
    print(f"  median {fmt_t(t)} per fit (target < 1 ms); guess alone {fmt_t(guess_only)}; "
          f"success={r.success}, cost={r.cost:.6e}, impedance_evals={r.impedance_evals}")
    print()


def section_e():
    print("(e) throughput: 200 fits of different spectra, one thread vs two Python threads")
    truth = [0.1, 2.0, 0.5, 1e-4, 0.85]
    data = [tuple(map(list, synthetic(randles, truth, seed=s))) for s in range(200)]
    circuit = kelvara.Circuit("R0-p(R1-W1,CPE1)").with_values([0.3, 6.0, 0.15, 4e-4, 0.7])

    def work(items):
        for f, z in items:
            circuit.fit(f, z)

    work(data[:10])
    best_one, best_two = [], []
    for _ in range(3):
        t = time.perf_counter()
        work(data)
        best_one.append(time.perf_counter() - t)
        threads = [threading.Thread(target=work, args=(data[k::2],)) for k in range(2)]
        t = time.perf_counter()
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        best_two.append(time.perf_counter() - t)
    one, two = min(best_one), min(best_two)
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    print(f"  one thread {one * 1e3:8.1f} ms, two threads {two * 1e3:8.1f} ms, speed-up {one / two:.2f}x "
          f"(target >= 1.7x; {os.cpu_count()} processors, load average {load:.2f})")
    print()


def rss_kib():
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def section_f():
    n = 10_000 if QUICK else 100_000
    print(f"(f) resident size over {n:,} consecutive fits of R0-(R1,C1), 20 points")
    f, z = synthetic(rc, [0.5, 3.0, 2e-4], n=20)
    fl, zl = list(f), list(z)
    circuit = kelvara.Circuit("R0-(R1,C1)").with_values([1.0, 1.0, 1e-3])
    for _ in range(2000):
        circuit.fit(fl, zl)
    before = rss_kib()
    t = time.perf_counter()
    for _ in range(n):
        circuit.fit(fl, zl)
    elapsed = time.perf_counter() - t
    after = rss_kib()
    print(f"  VmRSS {before} kB -> {after} kB, growth {after - before} kB (target < 1024 kB); "
          f"{elapsed:.1f} s, {elapsed / n * 1e6:.0f} us per fit")
    print()


# Timed under each build by section (g): prints one JSON object of best seconds per case.
TIMINGS = r"""
import json, math, sys, time
import numpy as np
import kelvara
sys.path.insert(0, sys.argv[1])
from numpy_models import randles, randles_wo, two_rq
data = sys.argv[2]

def best(fn, inner, rounds=15):
    out = math.inf
    for _ in range(rounds):
        t = time.perf_counter()
        for _ in range(inner):
            fn()
        out = min(out, (time.perf_counter() - t) / inner)
    return out

def synthetic(model, p, n=60):
    rng = np.random.default_rng(0)
    f = np.logspace(5, -2, n)
    return f, model(f, *p) * (1 + 0.01 * (rng.standard_normal(n) + 1j * rng.standard_normal(n)))

a = np.loadtxt(data, delimiter=",")
keep = a[:, 2] < 0
fe, ze = a[keep, 0], a[keep, 1] + 1j * a[keep, 2]
battery_c = kelvara.Circuit("R0-p(R1,C1)-p(R2-Wo1,C2)").with_values([0.01, 0.01, 100.0, 0.01, 0.05, 100.0, 1.0])
battery_q = kelvara.Circuit("R0-p(R1,CPE1)-p(R2-Wo1,CPE2)").with_values(
    [0.01, 0.01, 100.0, 0.9, 0.01, 0.05, 100.0, 1.0, 0.9])
f2, z2 = synthetic(two_rq, [0.2, 1.0, 1e-5, 0.9, 5.0, 1e-2, 0.7])
two_arc = kelvara.Circuit("R0-p(R1,CPE1)-p(R2,CPE2)").with_values([0.3, 2.0, 4e-5, 0.8, 3.0, 2e-2, 0.8])
fr, zr = synthetic(randles, [0.1, 2.0, 0.5, 1e-4, 0.85])
randles_default = kelvara.Circuit("R0-p(R1-W1,CPE1)")
zarc = kelvara.Circuit("R0-Zarc1-Zarc2").with_values([0.1, 1.0, 1e-4, 0.85, 2.0, 0.1, 0.7])
f50 = np.logspace(5, -2, 50)
f0 = np.empty(0)
fz = np.logspace(5, -2, 1000)
spectra = [synthetic(randles, [0.1, 2.0 * (1 + k / 50), 0.5, 1e-4, 0.85]) for k in range(50)]
fs, zs = [s[0] for s in spectra], [s[1] for s in spectra]
randles_start = kelvara.Circuit("R0-p(R1-W1,CPE1)").with_values([0.3, 6.0, 0.15, 4e-4, 0.7])
CASES = {
    "battery fit, capacitors (exampleData.csv)": (lambda: battery_c.fit(fe, ze, weight="unit"), 5),
    "battery fit, CPEs (exampleData.csv)": (lambda: battery_q.fit(fe, ze, weight="unit"), 5),
    "two-arc fit R0-p(R1,CPE1)-p(R2,CPE2)": (lambda: two_arc.fit(f2, z2), 10),
    "default Randles fit (guess included)": (lambda: randles_default.fit(fr, zr), 20),
    "Zarc evaluation, R0-Zarc1-Zarc2, 1000 points": (lambda: zarc.impedance(fz), 50),
    "impedance(), Randles, 50 points": (lambda: randles_start.impedance(f50), 2000),
    "impedance(), Randles, 0 points": (lambda: randles_start.impedance(f0), 2000),
    "fit_many, 50 Randles spectra": (lambda: kelvara.fit_many(randles_start, list(zip(fs, zs))), 1),
    "the same 50 Randles fits one by one": (lambda: [randles_start.fit(f, z) for f, z in zip(fs, zs)], 1),
}
if len(sys.argv) > 3:  # "CASE REPEATS": run one case, for an instruction count
    fn, _ = CASES[sys.argv[3]]
    fn()
    for _ in range(int(sys.argv[4])):
        fn()
else:
    print(json.dumps({case: best(fn, inner, 5 if inner == 1 else 15) for case, (fn, inner) in CASES.items()}))
"""


def section_g():
    print(f"(g) this build against the previous one ({PREVIOUS}): best seconds, ratio previous / this")
    data = DATA / "exampleData.csv"
    if not data.is_file():
        print("  (exampleData.csv not found: skipped)\n")
        return
    here = str(Path(__file__).resolve().parent)
    best = {}
    for _ in range(3):  # alternate, so that load on the machine hits both alike
        for name, python in (("previous", PREVIOUS), ("this", sys.executable)):
            import json
            import subprocess
            out = subprocess.run([python, "-c", TIMINGS, here, str(data)], capture_output=True, text=True, check=True)
            for case, seconds in json.loads(out.stdout).items():
                best.setdefault(case, {}).setdefault(name, seconds)
                best[case][name] = min(best[case][name], seconds)
    print(f"  {'case':48} {'previous':>12} {'this':>12} {'ratio':>7}")
    for case, t in best.items():
        print(f"  {case:48} {fmt_t(t['previous'])} {fmt_t(t['this'])} {t['previous'] / t['this']:6.2f}x")
    print()


def instructions(python, case, repeats, here, data):
    """Instructions callgrind counts for a run of `case` repeated `repeats` times after one warm-up."""
    import shutil
    import subprocess
    import tempfile

    with tempfile.TemporaryDirectory() as folder:
        # PYTHON may be a script that starts the interpreter: follow it, and add up every process.
        subprocess.run([shutil.which("valgrind") or "valgrind", "--tool=callgrind", "--trace-children=yes",
                        f"--callgrind-out-file={folder}/callgrind.%p",
                        python, "-c", TIMINGS, here, str(data), case, str(repeats)],
                       capture_output=True, text=True, check=True,
                       # the same dict layouts in every run, and no idle BLAS threads spinning
                       env={**os.environ, "PYTHONHASHSEED": "0", "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"})
        summaries = [int(line.split()[1]) for out in Path(folder).iterdir()
                     for line in out.read_text().splitlines() if line.startswith("summary:")]
    if not summaries:
        raise RuntimeError("callgrind wrote no summary")
    return sum(summaries)


def section_i():
    # Instruction counts, not seconds: the same for the same binary and input whatever else
    # the machine runs. Each case runs r and 3r times after a warm-up; the difference over 2r
    # is the cost of one run without the interpreter's start and the imports.
    import shutil

    print(f"(i) instructions per run, this build against the previous one ({PREVIOUS}), callgrind")
    if shutil.which("valgrind") is None:
        print("  valgrind is not installed: skipped\n")
        return
    data = DATA / "exampleData.csv"
    here = str(Path(__file__).resolve().parent)
    repeats = {"fit_many, 50 Randles spectra": 2, "the same 50 Randles fits one by one": 2, "battery fit, capacitors (exampleData.csv)": 4,
               "battery fit, CPEs (exampleData.csv)": 4}
    print(f"  {'case':48} {'previous':>12} {'this':>12} {'ratio':>7}")
    for case in ("battery fit, capacitors (exampleData.csv)", "battery fit, CPEs (exampleData.csv)",
                 "two-arc fit R0-p(R1,CPE1)-p(R2,CPE2)", "default Randles fit (guess included)",
                 "Zarc evaluation, R0-Zarc1-Zarc2, 1000 points", "impedance(), Randles, 50 points",
                 "impedance(), Randles, 0 points", "fit_many, 50 Randles spectra",
                 "the same 50 Randles fits one by one"):
        r = repeats.get(case, 20 if "fit" in case else 2000)
        per_run = {}
        for name, python in (("previous", PREVIOUS), ("this", sys.executable)):
            per_run[name] = (instructions(python, case, 3 * r, here, data) -
                             instructions(python, case, r, here, data)) / (2 * r)
        print(f"  {case:48} {per_run['previous']:12,.0f} {per_run['this']:12,.0f} "
              f"{per_run['previous'] / per_run['this']:6.2f}x")
    print()


def section_h():
    print("(h) fixed and bounded fits of exampleData.csv against impedance.py (constants / bounds), unit weights")
    try:
        from impedance.models.circuits import CustomCircuit
    except ImportError:
        print("  impedance.py is not installed (pip install impedance): skipped\n")
        return
    if not (DATA / "exampleData.csv").is_file():
        print("  (exampleData.csv not found: skipped)\n")
        return
    f, z = example_spectrum()
    battery = "R0-p(R1,C1)-p(R2-Wo1,C2)"
    battery_cpe = "R0-p(R1,CPE1)-p(R2-Wo1,CPE2)"
    start_c = [0.01, 0.01, 100.0, 0.01, 0.05, 100.0, 1.0]
    start_q = [0.01, 0.01, 100.0, 0.9, 0.01, 0.05, 100.0, 1.0, 0.9]
    r0 = 0.0155
    inf = np.inf
    # R0, R1, CPE1 (q, alpha), R2, Wo1 (z0, tau), CPE2 (q, alpha)
    lower_q = [1e-12, 1e-12, 1e-12, 0.7, 1e-12, 1e-12, 1e-12, 1e-12, 0.7]
    upper_q = [inf, inf, inf, 1.0, inf, inf, inf, inf, 1.0]
    cases = [
        ("battery, R0 fixed", battery, start_c,
         kelvara.Circuit(battery).with_values(start_c).with_fixed({"R0.r": r0}),
         dict(constants={"R0": r0}, initial_guess=start_c[1:]), {}),
        ("battery CPE, alpha in [0.7, 1]", battery_cpe, start_q,
         kelvara.Circuit(battery_cpe).with_values(start_q).with_bounds({"CPE1.alpha": (0.7, 1.0),
                                                                        "CPE2.alpha": (0.7, 1.0)}),
         dict(initial_guess=start_q), dict(bounds=(lower_q, upper_q))),
    ]
    print(f"  {'case':32} {'kelvara':>12} {'impedance.py':>12} {'ratio':>8} {'our cost':>13} {'peer cost':>13}")
    for label, notation, start, circuit, peer_args, fit_args in cases:
        result = circuit.fit(f, z, weight="unit")
        t_ours = median_time(lambda: circuit.fit(f, z, weight="unit"), 30)

        def peer_fit():
            peer = CustomCircuit(circuit=notation, **peer_args)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                peer.fit(f, z, weight_by_modulus=False, **fit_args)
            return peer

        peer = peer_fit()
        t_peer = median_time(peer_fit, 3)
        peer_z = peer.predict(f)
        c_peer = 0.5 * float(np.sum(np.abs(peer_z - z) ** 2))
        print(f"  {label:32} {fmt_t(t_ours):>12} {fmt_t(t_peer):>12} {t_peer / t_ours:7.0f}x"
              f" {result.cost:13.6e} {c_peer:13.6e}")
    print()


def main():
    print(f"kelvara from {kelvara.__file__}; numpy {np.__version__}; python {sys.version.split()[0]}")
    print()
    if "a" in ONLY or "b" in ONLY or "c" in ONLY:
        all_cases = cases()
        if "a" in ONLY or "b" in ONLY:
            section_a_b(all_cases)
        if "c" in ONLY:
            section_c(all_cases)
    for letter, section in (("d", section_d), ("e", section_e), ("f", section_f), ("h", section_h)):
        if letter in ONLY:
            section()
    if PREVIOUS:
        if "g" in ONLY:
            section_g()
        if "i" in ONLY:
            section_i()

if __name__ == "__main__":
    main()
