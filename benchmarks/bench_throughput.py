"""Throughput of many fits: a loop of Circuit.fit, kelvara.fit_many, a process pool and Dask.

    pip install impedance "dask[dataframe]" distributed   # benchmark-only dependencies
    cmake --build build/dev -j2
    PYTHONPATH=build/dev python benchmarks/bench_throughput.py [--quick] [--n N] [--peer-n M]

Data: N = 10,000 two-arc spectra (1,000 with --quick) of R0-p(R1,CPE1)-p(R2,CPE2),
60 points from 100 kHz to 10 mHz, drawn with NumPy (numpy_models.two_rq, seed 0):
resistances and CPE coefficients 10**U(-0.5, 0.5) times the nominal values
R0 0.2, R1 1, q1 1e-5, R2 5, q2 1e-2; alpha1 0.9 and alpha2 0.7 plus U(-0.05, 0.05);
1 % complex noise. Every fit starts from the same explicit start, the nominal
values (no network guess), with modulus weighting, so that every row including
impedance.py (weight_by_modulus=True) does the same work.

One table, every number measured in this run; fits per second = spectra / wall
time with the FitResults back in the calling process; ratio = against the loop:
  fit loop          Circuit.fit, one spectrum after another (one thread)
  fit_many          kelvara.fit_many on every core; if it takes a thread count
                    (threads= / workers=), on 1 and 2 threads; if not (so far), also
                    in a fresh process confined to one processor (sched_setaffinity)
  process pool      concurrent.futures.ProcessPoolExecutor(2, spawn), chunks of
                    250 spectra, a loop of fit in each worker (pool start-up excluded)
  dask, 2 workers   kelvara.dask.fit_bag on LocalCluster(n_workers=2,
                    threads_per_worker=1), a bag of 250-spectrum partitions
                    (cluster start-up excluded, printed beside); each worker's
                    fit_many spreads over every core, so they share the processors
  dask, 1 worker    the same on one worker process
  impedance.py      CustomCircuit.fit on the first 100 spectra (20 with --quick)
  guess <model>     Circuit(name).guess(f, z) for every trained topology: median of
                    single calls on spectra from training/sampling.py (as bench_guess.py,
                    seed 777000 + registry index, 1.3 % noise)
"same" counts the spectra whose parameters equal the loop's bit for bit.

A second table times fit_many's grouping of a long-format frame by its id column
(no fits: the rows of 2,000, 4,000 and 8,000 spectra of 60 points, ids int, str and
float, in shuffled blocks), the step that once grew with the square of the groups;
"x per doubling" is its time over the previous row's.

Targets (printed, never asserted): fit_many >= 0.85 x processors the loop's rate;
id grouping <= 2.5x per doubling of the groups (linear: 2x);
process pool and Dask (2 workers) >= 0.75 x processors; impedance.py >= 100x slower
than the loop; guess < 2 ms (16/32-channel networks), < 6 ms (64-channel).
"""

from __future__ import annotations

import argparse
import concurrent.futures as cf
import inspect
import logging
import multiprocessing
import os
import statistics
import sys
import time
import warnings
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
for path in (ROOT, Path(__file__).resolve().parent):
    if str(path) not in sys.path:
        sys.path.insert(0, str(path))

import kelvara  # noqa: E402
from numpy_models import two_rq  # noqa: E402

NOTATION = "R0-p(R1,CPE1)-p(R2,CPE2)"
NOMINAL = [0.2, 1.0, 1e-5, 0.9, 5.0, 1e-2, 0.7]
ALPHAS = (3, 6)
CHUNK = 250
FIT_MANY_TARGET = 0.9    # times the number of processors: 1.8x on 2
POOL_TARGET = 0.75


def make_spectra(n, seed=0):
    rng = np.random.default_rng(seed)
    f = np.logspace(5, -2, 60)
    out = []
    for _ in range(n):
        p = [v + rng.uniform(-0.05, 0.05) if k in ALPHAS else v * 10 ** rng.uniform(-0.5, 0.5)
             for k, v in enumerate(NOMINAL)]
        noise = 1 + 0.01 * (rng.standard_normal(f.size) + 1j * rng.standard_normal(f.size))
        out.append((f, two_rq(f, *p) * noise))
    return out


def fit_chunk(circuit, chunk):
    """Process-pool task: a loop of fit over one chunk."""
    return [circuit.fit(f, z) for f, z in chunk]


def pinned_fit_many(circuit, spectra):
    """In a fresh process confined to one processor: fit_many's time there."""
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})   # before its threads start
    kelvara.fit_many(circuit, spectra[:20])
    t = time.perf_counter()
    results = kelvara.fit_many(circuit, spectra)
    return time.perf_counter() - t, [r.params for r in results]


def timed(fn):
    t = time.perf_counter()
    out = fn()
    return time.perf_counter() - t, out


def same_count(params, reference):
    return sum(p == ref.params for p, ref in zip(params, reference))


def thread_argument():
    """Name of fit_many's thread-count argument, or None when it has none."""
    params = inspect.signature(kelvara.fit_many).parameters
    return next((n for n in ("threads", "workers", "n_threads", "max_workers") if n in params), None)


class Table:
    def __init__(self):
        self.rows = []

    def add(self, what, n, seconds, rate, ratio, note=""):
        self.rows.append((what, n, seconds, rate, ratio, note))

    def print(self):
        head = f"{'what':24} {'n':>6} {'per item':>11} {'items/s':>10} {'ratio':>8}  note"
        print(head)
        print("-" * len(head))
        for what, n, seconds, rate, ratio, note in self.rows:
            per = "-" if seconds is None else (f"{seconds * 1e3:8.3f} ms" if seconds >= 1e-3
                                               else f"{seconds * 1e6:8.1f} us")
            rate_s = "-" if rate is None else f"{rate:10.0f}"
            ratio_s = "-" if ratio is None else f"{ratio:7.2f}x"
            print(f"{what:24} {n:>6} {per:>11} {rate_s:>10} {ratio_s:>8}  {note}")


def bench_fits(table, spectra, peer_n):
    n = len(spectra)
    circuit = kelvara.Circuit(NOTATION).with_values(NOMINAL)
    for f, z in spectra[:20]:
        circuit.fit(f, z)

    t_loop, reference = timed(lambda: [circuit.fit(f, z) for f, z in spectra])
    loop_rate = n / t_loop
    ok = sum(r.success for r in reference)
    table.add("fit loop", n, t_loop / n, loop_rate, 1.0, f"success {ok}/{n}")

    cpus = os.cpu_count() or 1

    def row(what, seconds, params, note="", target=None):
        rate = n / seconds
        note = f"same {same_count(params, reference)}/{n}" + (f"; {note}" if note else "")
        if target is not None and rate / loop_rate < target * cpus:
            note += f"  MISS (target {target * cpus:.2f}x)"
        table.add(what, n, seconds / n, rate, rate / loop_rate, note)

    kelvara.fit_many(circuit, spectra[:20])
    arg = thread_argument()
    if arg is not None:
        for threads in (1, 2):
            seconds, results = timed(lambda: kelvara.fit_many(circuit, spectra, **{arg: threads}))
            row(f"fit_many, {threads} thread{'s' if threads > 1 else ''}", seconds, [r.params for r in results])
    if arg is None and hasattr(os, "sched_setaffinity"):
        with cf.ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
            seconds, params = pool.submit(pinned_fit_many, circuit, spectra).result()
        row("fit_many, 1 processor", seconds, params, "its threads confined to one processor (affinity)")
    seconds, results = timed(lambda: kelvara.fit_many(circuit, spectra))
    row("fit_many, every core", seconds, [r.params for r in results],
        "" if arg else f"no thread-count argument: {cpus} threads",
        target=FIT_MANY_TARGET)

    chunks = [spectra[i:i + CHUNK] for i in range(0, n, CHUNK)]
    with cf.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        list(pool.map(fit_chunk, [circuit] * 4, [spectra[:4]] * 4))   # starts both, imports kelvara
        seconds, parts = timed(lambda: list(pool.map(fit_chunk, [circuit] * len(chunks), chunks)))
    row("process pool, 2", seconds, [r.params for part in parts for r in part], f"chunks of {CHUNK}", target=POOL_TARGET)

    bench_dask(row, circuit, spectra)
    bench_peer(table, spectra[:peer_n], reference, loop_rate)


def bench_dask(row, circuit, spectra):
    try:
        import dask.bag as db
        from distributed import Client, LocalCluster

        import kelvara.dask
    except ImportError:
        print('dask or distributed is not installed (pip install "dask[dataframe]" distributed): '
              "Dask rows skipped")
        return
    items = [(i, f, z) for i, (f, z) in enumerate(spectra)]
    names = circuit.param_names()
    for workers in (2, 1):
        start, cluster = timed(lambda: LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                                    dashboard_address=":0", silence_logs=logging.CRITICAL))
        with cluster, Client(cluster):
            kelvara.dask.fit_bag(db.from_sequence(items[:8], npartitions=workers), circuit).compute()
            bag = db.from_sequence(items, partition_size=CHUNK)
            seconds, frame = timed(lambda: kelvara.dask.fit_bag(bag, circuit).compute())
        params = [dict(zip(names, v)) for v in frame.sort_values("id")[names].to_numpy().tolist()]
        row(f"dask, {workers} worker{'s' if workers > 1 else ''}", seconds, params,
            f"cluster start {start:.1f} s not included", target=POOL_TARGET if workers == 2 else None)


def bench_peer(table, sample, reference, loop_rate):
    try:
        from impedance.models.circuits import CustomCircuit
    except ImportError:
        print("impedance.py is not installed (pip install impedance): its row skipped")
        return

    def run():
        out = []
        for f, z in sample:
            peer = CustomCircuit(circuit=NOTATION, initial_guess=list(NOMINAL))
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                peer.fit(f, z, weight_by_modulus=True)
            out.append(peer.parameters_)
        return out

    seconds, params = timed(run)
    # costs (1/2 sum of squared modulus-weighted residuals) of both, with NumPy
    ratios = []
    for (f, z), p, ours in zip(sample, params, reference):
        def cost(values):
            d = (two_rq(f, *values) - z) / np.abs(z)
            return 0.5 * float(np.sum(d.real**2 + d.imag**2))
        ratios.append(cost(p) / cost(list(ours.params.values())))
    n = len(sample)
    rate = n / seconds
    table.add("impedance.py", n, seconds / n, rate, rate / loop_rate,
              f"median cost ratio peer/ours {statistics.median(ratios):.4f}"
              + ("" if rate / loop_rate <= 0.01 else "  MISS (target <= 0.01x)"))


def bench_guess(table, quick):
    from training.registry import BY_NAME
    from training.sampling import sample_spectrum

    n_spectra, repeats = (3, 20) if quick else (10, 50)
    for index, name in enumerate(kelvara.Circuit.ml_circuits()):
        entry = BY_NAME[name]
        circuit = kelvara.Circuit(name)
        rng = np.random.default_rng(777_000 + index)
        spectra = [sample_spectrum(entry, rng, noise=0.013)[:2] for _ in range(n_spectra)]
        try:
            circuit.guess(*spectra[0])
        except ValueError as exc:
            table.add(f"guess {name}", 0, None, None, None, f"not measured: {exc}")
            continue
        times = []
        for f, z in spectra:
            for _ in range(repeats):
                t = time.perf_counter()
                circuit.guess(f, z)
                times.append(time.perf_counter() - t)
        latency = statistics.median(times)
        limit = 6e-3 if entry.channels >= 64 else 2e-3
        table.add(f"guess {name}", len(times), latency, 1.0 / latency, None,
                  f"{entry.channels} channels, target < {limit * 1e3:.0f} ms"
                  + ("" if latency < limit else "  MISS"))


GROUPING_TARGET = 2.5  # time per doubling of the groups


def bench_grouping(points=60):
    try:
        import pandas as pd
    except ImportError:
        print("pandas is not installed: the id grouping table skipped")
        return
    from kelvara._measured import long_frame

    print(f"{'id grouping':24} {'groups':>6} {'rows':>8} {'seconds':>9} {'x per doubling':>15}")
    print("-" * 66)
    rng = np.random.default_rng(1)
    for kind in ("int", "str", "float"):
        previous = None
        for groups in (2_000, 4_000, 8_000):
            ids = np.repeat(np.arange(groups), points)
            # blocks of a spectrum's rows in random order, as a concatenation of files gives them
            order = (rng.permutation(groups)[:, None] * points + np.arange(points)).ravel()
            column = {"int": ids, "str": ids.astype(str), "float": ids + 0.5}[kind][order]
            frame = pd.DataFrame({"cell": column, "Frequency / Hz": np.tile(np.logspace(5, -2, points), groups),
                                  "Real Impedance / ohm": 1.0, "Imaginary Impedance / ohm": -1.0})
            seconds = min(timed(lambda: long_frame(frame, "cell"))[0] for _ in range(3))
            ratio = "" if previous is None else f"{seconds / previous:.2f}"
            miss = "  MISS" if previous is not None and seconds / previous > GROUPING_TARGET else ""
            print(f"{kind + ' ids':24} {groups:>6} {len(frame):>8} {seconds:>9.4f} {ratio:>15}{miss}")
            previous = seconds
    print(f"target: <= {GROUPING_TARGET}x per doubling")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="1,000 spectra, 20 for impedance.py")
    ap.add_argument("--n", type=int, default=None, help="spectra (default 10,000)")
    ap.add_argument("--peer-n", type=int, default=None, help="spectra for impedance.py (default 100)")
    ap.add_argument("--grouping-only", action="store_true", help="only the id grouping table")
    args = ap.parse_args(argv)
    if args.grouping_only:
        bench_grouping()
        return
    n = args.n or (1_000 if args.quick else 10_000)
    peer_n = args.peer_n or (20 if args.quick else 100)

    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    print(f"kelvara from {kelvara.__file__}; numpy {np.__version__}; python {sys.version.split()[0]}; "
          f"{os.cpu_count()} processors, load average {load:.2f}")
    print(f"{n} spectra of {NOTATION}, 60 points, explicit start {NOMINAL}, modulus weighting")
    print(flush=True)
    spectra = make_spectra(n)
    table = Table()
    bench_fits(table, spectra, min(peer_n, n))
    bench_guess(table, args.quick)
    print()
    table.print()
    cpus = os.cpu_count() or 1
    print()
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    print(f"targets: fit_many >= {FIT_MANY_TARGET * cpus:.2f}x the loop; process pool and dask (2 workers) >= "
          f"{POOL_TARGET * cpus:.2f}x; impedance.py <= 0.01x; guess < 2 ms (16/32 channels), < 6 ms (64)")
    print(f"(load average now {load:.2f} on {cpus} processors: parallel ratios need idle processors)")
    print()
    bench_grouping()


if __name__ == "__main__":
    main()
