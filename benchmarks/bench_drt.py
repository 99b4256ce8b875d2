"""Speed and accuracy of kelvara.drt against pyimpspec's TR-RBF, in one run.

    python benchmarks/bench_drt.py [--seeds N] [--peer-python PATH] [--batch K] [--rounds R] [--draws D]

The peer is optional (no peer row without it). It needs kvxopt, and may live
in an interpreter of its own, which the benchmark runs as a child process:

    python -m venv .peer && .peer/bin/pip install pyimpspec kvxopt    # or pip install .[peers]
    .peer/bin/pip install pyDRTtools cvxopt scikit-learn             # the second peer, optional
    python benchmarks/bench_drt.py --peer-python .peer/bin/python

Data: two ZARCs R/(1 + (i w tau)^alpha) of 100 ohm each at tau = 1 ms and
31.6 ms (1.5 decades apart) behind 10 ohm, alpha 0.8 (or --alpha), 60 or 200
points from 1 MHz to 10 mHz, 0.5 % complex noise (NumPy, seeds 0...). Both
methods run with their automatic lambda (kelvara: GCV, pyimpspec: its default
"mgcv"), pyimpspec on one process.

Columns, each the worst over the seeds:
- time per spectrum (median over seeds); the peer's is TR-RBF alone, without
  its peak analysis;
- "peaks": the two reported peaks' positions against each process's own tau
  (decades) and their resistances against 100 ohm; kelvara's `.peaks`, the
  peer's `analyze_peaks(num_peaks=2)` (skew-normal fits to gamma);
- "maxima": the two tallest maxima of gamma against those of the analytic
  gamma, which overlapping peaks pull inwards (decades), and the largest other
  maximum as a fraction of the tallest ("spurious").

Then 1,000 spectra of 60 points through kelvara.drt_many in this process, in
rounds that alternate all of the pool's threads pinned to one processor and
free on every processor: the best and median ratio of the rounds, and the CPU
time of the calling thread (the batch's serial part: conversion of the
records) against the workers'.

Then the processes a DRT must not lose (--draws noise draws each, the same
spectra for every method; --draws 0 skips them):
- "edge": ZARCs of 100 ohm, alpha 0.9, at 1 ms and 0.8, 0.9 or 1.0 decades
  inside the low-frequency edge (61 points, 1 MHz to 10 mHz, 0.5 % noise):
  draws in which the edge process is found (a peak within 0.2 decades);
- "5 ppd": ZARCs of 100 ohm, alpha 0.8, at 1 ms and 10 ms (36 points, 100 kHz
  to 10 mHz) with 1.5 % and 2 % noise: draws resolved (exactly two peaks, each
  within 0.2 decades of its process);
- "accuracy": the ZARC cases of tests/test_drt.py (0.5 % noise): draws with a
  spurious peak (more peaks than processes) and draws with one missing.
kelvara counts its reported `.peaks`; the peers (pyimpspec's TR-RBF, mgcv, and
pyDRTtools' simple_run, GCV and first derivative, both with their defaults)
the maxima of their gamma whose prominence is at least 10 % of the tallest
gamma inside the measured range, the rule kelvara applies before its own
checks. pyDRTtools needs cvxopt and scikit-learn; its package __init__ imports
a Qt GUI, so the benchmark loads its modules without it.

Targets (printed, never asserted): under 10 ms for 60 points, under 50 ms for
200; at least 100x faster than TR-RBF at equal or better peak accuracy; the
batch on 2 cores at least 1.8x the rate on one; the edge process in at least
38 of 40 draws, two processes at 5 points per decade in at least 30 of 40.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
import warnings
from typing import Any

import numpy as np

TWO_PI = 6.283185307179586
PROCESSES = [(100.0, 1e-3), (100.0, 10**-1.5)]
ALPHA = 0.8


def spectrum(points: int, seed: int, alpha: float = ALPHA) -> tuple[np.ndarray, np.ndarray]:
    f = np.logspace(6, -2, points)
    z = 10 + sum(r / (1 + (1j * TWO_PI * f * tau) ** alpha) for r, tau in PROCESSES)
    rng = np.random.default_rng(seed)
    noise = 0.005 * np.abs(z) * (rng.standard_normal(points) + 1j * rng.standard_normal(points)) / np.sqrt(2)
    return f, z + noise


def analytic_gamma(ln_tau: np.ndarray, alpha: float) -> np.ndarray:
    s = np.sin((1 - alpha) * np.pi)
    return sum(r / (2 * np.pi) * s / (np.cosh(alpha * (ln_tau - np.log(tau))) - np.cos((1 - alpha) * np.pi))
               for r, tau in PROCESSES)


def analytic_maxima(alpha: float) -> np.ndarray:
    y = np.linspace(np.log(1e-5), np.log(1), 200001)
    g = analytic_gamma(y, alpha)
    inner = (g[1:-1] > g[:-2]) & (g[1:-1] >= g[2:])
    return y[1:-1][inner] / np.log(10)


def maxima_score(tau: np.ndarray, gamma: np.ndarray, alpha: float) -> tuple[float, float]:
    """(error of the two tallest maxima in decades, largest other maximum / tallest) of a gamma on an
    ascending tau grid."""
    inner = np.flatnonzero((gamma[1:-1] > gamma[:-2]) & (gamma[1:-1] >= gamma[2:])) + 1
    order = inner[np.argsort(gamma[inner])[::-1]]
    if order.size < 2:
        return float("inf"), 0.0
    position = float(np.max(np.abs(np.log10(np.sort(tau[order[:2]])) - analytic_maxima(alpha))))
    spurious = float(gamma[order[2]] / gamma[order[0]]) if order.size > 2 else 0.0
    return position, spurious


def peaks_score(taus: list[float], resistances: list[float]) -> tuple[float, float]:
    """(position error in decades against each process's tau, relative resistance error) of two peaks."""
    if len(taus) != 2:
        return float("inf"), float("inf")
    order = np.argsort(taus)
    position = np.abs(np.log10(np.asarray(taus)[order]) - np.log10([tau for _, tau in PROCESSES]))
    resistance = np.abs(np.asarray(resistances)[order] - 100.0) / 100.0
    return float(position.max()), float(resistance.max())


def worst(scores: list[tuple[float, ...]]) -> list[float]:
    return [max(s[i] for s in scores) for i in range(len(scores[0]))]


def run_kelvara(points: int, seeds: int, alpha: float) -> dict[str, Any]:
    import kelvara

    times, scores = [], []
    for seed in range(seeds):
        f, z = spectrum(points, seed, alpha)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            kelvara.drt(f, z)  # warm
            start = time.perf_counter()
            for _ in range(5):
                result = kelvara.drt(f, z)
            times.append((time.perf_counter() - start) / 5)
        tau = np.geomspace(result.tau[0], result.tau[-1], 4001)  # as fine as the peer's grid
        scores.append(peaks_score([p.tau for p in result.peaks], [p.resistance for p in result.peaks]) +
                      maxima_score(tau, result.gamma_at(tau), alpha))
    return {"time": statistics.median(times), "scores": worst(scores)}


def run_pyimpspec(points: int, seeds: int, alpha: float) -> dict[str, Any]:
    """In the peer's interpreter (see main): TR-RBF and its peak analysis on the same spectra."""
    import pyimpspec
    from pyimpspec.analysis.drt import calculate_drt_tr_rbf

    times, peak_times, scores = [], [], []
    for seed in range(seeds):
        f, z = spectrum(points, seed, alpha)
        data = pyimpspec.DataSet(frequencies=f, impedances=z)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            start = time.perf_counter()
            result = calculate_drt_tr_rbf(data, num_procs=1)
            times.append(time.perf_counter() - start)
            start = time.perf_counter()
            peaks = result.analyze_peaks(num_peaks=2).to_peaks_dataframe()
            peak_times.append(time.perf_counter() - start)
        tau = np.asarray(result.time_constants)
        order = np.argsort(tau)
        scores.append(peaks_score(list(peaks["tau (s)"]), list(peaks["R_peak (ohm)"])) +
                      maxima_score(tau[order], np.asarray(result.gammas)[order], alpha))
    return {"time": statistics.median(times), "peak_time": statistics.median(peak_times), "scores": worst(scores)}


def peer_rows(python: str, points: int, seeds: int, alpha: float) -> dict[str, Any] | None:
    code = (f"import sys, json; sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})\n"
            "try:\n    import pyimpspec, kvxopt\nexcept ImportError:\n    print('null'); raise SystemExit\n"
            f"from bench_drt import run_pyimpspec\nprint(json.dumps(run_pyimpspec({points}, {seeds}, {alpha})))")
    out = subprocess.run([python, "-c", code], check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


# --- Processes a DRT must not lose -------------------------------------------------------------

ACCURACY_CASES = {  # as in tests/test_drt.py: ([(R, tau), ...], alpha), 61 points from 1 MHz to 10 mHz
    "one ZARC 0.7": ([(100, 1e-3)], 0.7),
    "one ZARC 0.9": ([(100, 1e-3)], 0.9),
    "two ZARCs 0.7": ([(100, 1e-3), (100, 10**-1.5)], 0.7),
    "two ZARCs 0.8": ([(100, 1e-3), (100, 10**-1.5)], 0.8),
    "two ZARCs 0.95": ([(100, 1e-3), (50, 10**-1.5)], 0.95),
}


def process_case(name: str, seed: int) -> tuple[np.ndarray, np.ndarray, list[float], str]:
    """(frequencies, impedances, the processes' taus, what counts) of one draw of a named case."""
    if name.startswith("edge"):
        f = np.logspace(6, -2, 61)
        processes, alpha, level, what = [(100, 1e-3), (100, 1 / (TWO_PI * f.min()) / 10 ** float(name.split()[1]))], \
            0.9, 0.005, "found"
    elif name.startswith("5 ppd"):
        f = np.logspace(5, -2, 36)
        processes, alpha, level, what = [(100, 1e-3), (100, 1e-2)], 0.8, float(name.split()[2]) / 100, "resolved"
    else:
        f = np.logspace(6, -2, 61)
        (processes, alpha), level, what = ACCURACY_CASES[name], 0.005, "accuracy"
    z = 10 + sum(r / (1 + (1j * TWO_PI * f * tau) ** alpha) for r, tau in processes)
    rng = np.random.default_rng(seed)
    z = z + level * np.abs(z) * (rng.standard_normal(f.size) + 1j * rng.standard_normal(f.size)) / np.sqrt(2)
    return f, z, [tau for _, tau in processes], what


def process_names() -> list[str]:
    return ["edge 0.8", "edge 0.9", "edge 1.0", "5 ppd 1.5 %", "5 ppd 2 %"] + list(ACCURACY_CASES)


def score(taus_found: list[float], truth: list[float], what: str) -> tuple[int, int]:
    """(success, failure) counts of one draw: found / resolved, or (spurious, missing) for accuracy."""
    found = np.log10(sorted(taus_found))
    near = [bool(found.size) and float(np.min(np.abs(found - np.log10(t)))) < 0.2 for t in truth]
    if what == "found":
        return int(near[-1]), 0
    if what == "resolved":
        return int(len(taus_found) == len(truth) and all(near)), 0
    return int(len(taus_found) > len(truth)), int(not all(near))


def window_maxima(tau: np.ndarray, gamma: np.ndarray, frequencies: np.ndarray) -> list[float]:
    """The maxima of gamma inside the measured range whose prominence is 10 % of the tallest gamma there."""
    from scipy.signal import find_peaks

    order = np.argsort(tau)
    tau, gamma = np.asarray(tau)[order], np.asarray(gamma)[order]
    inside = (tau >= 1 / (TWO_PI * frequencies.max())) & (tau <= 1 / (TWO_PI * frequencies.min()))
    maxima = find_peaks(gamma, prominence=0.1 * gamma[inside].max())[0]
    return [float(t) for t in tau[maxima[inside[maxima]]]]


def count_processes(method: str, draws: int) -> dict[str, list[int]]:
    """Per case, the summed score over the draws of one method ("kelvara", "pyimpspec", "pyDRTtools")."""
    counts = {}
    if method == "kelvara":
        import kelvara

        def taus(f: np.ndarray, z: np.ndarray) -> list[float]:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                return [p.tau for p in kelvara.drt(f, z).peaks]
    elif method == "pyimpspec":
        import pyimpspec
        from pyimpspec.analysis.drt import calculate_drt_tr_rbf

        def taus(f: np.ndarray, z: np.ndarray) -> list[float]:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                result = calculate_drt_tr_rbf(pyimpspec.DataSet(frequencies=f, impedances=z), num_procs=1)
            return window_maxima(np.asarray(result.time_constants), np.asarray(result.gammas), f)
    else:
        import contextlib
        import importlib.util
        import io
        import types

        # The package's __init__ starts with its Qt GUI: load the computing modules without it.
        spec = importlib.util.find_spec("pyDRTtools")
        package = types.ModuleType("pyDRTtools")
        package.__path__ = list(spec.submodule_search_locations)
        sys.modules["pyDRTtools"] = package
        with contextlib.redirect_stdout(io.StringIO()):
            from cvxopt import solvers
            from pyDRTtools.runs import EIS_object, simple_run
        solvers.options["show_progress"] = False

        def taus(f: np.ndarray, z: np.ndarray) -> list[float]:
            with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
                warnings.simplefilter("ignore")
                entry = simple_run(EIS_object(f, z.real, z.imag))
            return window_maxima(np.asarray(entry.out_tau_vec), np.asarray(entry.gamma), f)
    for name in process_names():
        total = [0, 0]
        for seed in range(draws):
            f, z, truth, what = process_case(name, seed)
            success, failure = score(taus(f, z), truth, what)
            total[0] += success
            total[1] += failure
        counts[name] = total
    return counts


def peer_counts(python: str, method: str, draws: int) -> dict[str, list[int]] | None:
    module = "pyimpspec, kvxopt" if method == "pyimpspec" else "pyDRTtools, cvxopt, sklearn"
    code = (f"import sys, json, importlib.util; sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})\n"
            f"if any(importlib.util.find_spec(m.strip()) is None for m in {module!r}.split(',')):\n"
            "    print('null'); raise SystemExit\n"
            f"from bench_drt import count_processes\nprint(json.dumps(count_processes({method!r}, {draws})))")
    out = subprocess.run([python, "-c", code], check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def run_processes(python: str, draws: int) -> None:
    methods = {"kelvara.drt": count_processes("kelvara", draws)}
    for peer in ("pyimpspec", "pyDRTtools"):
        counts = peer_counts(python, peer, draws)
        if counts is not None:
            methods[peer] = counts
    print(f"\nprocesses found in {draws} draws (accuracy cases: draws with a spurious / a missing peak):")
    print(f"{'case':<18}" + "".join(f"{name:>14}" for name in methods))
    for case in process_names():
        cells = []
        for counts in methods.values():
            success, failure = counts[case]
            cells.append(f"{success}/{draws}" if case[0] in "e5" else f"{success} / {failure}")
        print(f"{case:<18}" + "".join(f"{cell:>14}" for cell in cells))


def thread_cpu_seconds() -> dict[int, float]:
    """CPU time (user + system) of each thread of this process."""
    ticks = os.sysconf("SC_CLK_TCK")
    seconds = {}
    for name in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{name}/stat") as handle:
                fields = handle.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        seconds[int(name)] = (int(fields[11]) + int(fields[12])) / ticks
    return seconds


def pin_threads(cpus: set[int]) -> None:
    for name in os.listdir("/proc/self/task"):
        try:
            os.sched_setaffinity(int(name), cpus)
        except OSError:
            pass


def run_batch(count: int, rounds: int) -> None:
    import kelvara

    pairs = [spectrum(60, seed % 50) for seed in range(count)]
    every = set(os.sched_getaffinity(0))
    one = {min(every)}
    kelvara.drt_many(pairs[:20], errors="return")  # starts the pool's threads
    caller = threading_id()
    widths = (1, len(every))
    wall: dict[int, list[float]] = {w: [] for w in widths}
    serial = {w: 0.0 for w in widths}  # CPU seconds of the calling thread
    workers: dict[int, dict[int, float]] = {w: {} for w in widths}  # CPU seconds per worker thread
    try:
        for _ in range(rounds):
            for cpus in (one, every):
                pin_threads(cpus)
                before = thread_cpu_seconds()
                start = time.perf_counter()
                kelvara.drt_many(pairs, errors="return")
                wall[len(cpus)].append(time.perf_counter() - start)
                after = thread_cpu_seconds()
                for thread, seconds in after.items():
                    used = seconds - before.get(thread, 0.0)
                    if thread == caller:
                        serial[len(cpus)] += used
                    else:
                        workers[len(cpus)][thread] = workers[len(cpus)].get(thread, 0.0) + used
    finally:
        pin_threads(every)
    ratios = [a / b for a, b in zip(wall[1], wall[len(every)])]
    print(f"\ndrt_many, {count} spectra of 60 points, {rounds} rounds alternating 1 and {len(every)} processors:")
    for w in widths:
        cpu = sum(workers[w].values())
        print(f"  {w} processor(s): wall best {min(wall[w]):.3f} s, median {statistics.median(wall[w]):.3f} s; "
              f"worker CPU {1e3 * cpu / (rounds * count):.3f} ms a spectrum, "
              f"{cpu / sum(wall[w]):.2f} processors' time received; calling thread {serial[w]:.2f} s "
              f"({100 * serial[w] / (serial[w] + cpu):.1f} % of the CPU time); per worker "
              f"{', '.join(f'{v:.2f}' for v in workers[w].values() if v > 0.005)} s")
    print(f"  speed-up per round: best {max(ratios):.2f}x, median {statistics.median(ratios):.2f}x "
          f"({', '.join(f'{r:.2f}' for r in ratios)})")
    print(f"  load average after the run: {', '.join(f'{v:.2f}' for v in os.getloadavg())}")


def threading_id() -> int:
    import threading

    return threading.get_native_id()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seeds", type=int, default=5, help="noise draws, the same for both methods (0: batch only)")
    parser.add_argument("--alpha", type=float, default=ALPHA, help="the ZARCs' exponent")
    parser.add_argument("--peer-python", default=sys.executable, help="an interpreter with pyimpspec and kvxopt")
    parser.add_argument("--batch", type=int, default=1000, help="spectra in the batch (0: no batch)")
    parser.add_argument("--rounds", type=int, default=5, help="batch rounds on 1 and on every processor")
    parser.add_argument("--draws", type=int, default=40, help="noise draws per process case (0: none)")
    args = parser.parse_args()

    if args.seeds > 0:
        print(f"{'':<28}{'':>7}{'':>17}{'':>8}{'peaks':^20}{'maxima':^20}")
        print(f"{'method':<28}{'points':>7}{'time / spectrum':>17}{'ratio':>8}{'position':>10}{'R':>10}"
              f"{'position':>10}{'spurious':>10}")
        for points in (60, 200):
            ours = run_kelvara(points, args.seeds, args.alpha)
            peer = peer_rows(args.peer_python, points, args.seeds, args.alpha)
            rows = [("kelvara.drt (GCV)", ours)]
            if peer is not None:
                rows.append(("pyimpspec TR-RBF (mgcv)", peer))
            for name, row in rows:
                seconds = row["time"]
                position, resistance, maxima, spurious = row["scores"]
                print(f"{name:<28}{points:>7}{seconds * 1e3:>14.2f} ms{seconds / ours['time']:>7.0f}x"
                      f"{position:>10.3f}{100 * resistance:>9.1f}%{maxima:>10.3f}{100 * spurious:>9.1f}%")
            if peer is None:
                print("  (pyimpspec with kvxopt not found in --peer-python: no peer row)")
            else:
                print(f"  (the peer's peak analysis took another {peer['peak_time'] * 1e3:.0f} ms a spectrum)")
        print(f"({args.seeds} seeds, alpha {args.alpha})")
    if args.draws:
        run_processes(args.peer_python, args.draws)
    if args.batch:
        run_batch(args.batch, args.rounds)
    print("targets: < 10 ms (60 points), < 50 ms (200 points), >= 100x TR-RBF at equal or better accuracy, "
          "batch on 2 cores >= 1.8x one core, edge process >= 38/40, 5 ppd resolved >= 30/40")


if __name__ == "__main__":
    main()
