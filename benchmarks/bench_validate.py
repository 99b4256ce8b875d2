"""Speed, memory and verdicts of the Kramers-Kronig check (kelvara.validate).

    PYTHONPATH=python python3 benchmarks/bench_validate.py [--quick]

(a) time: median wall time of kramers_kronig() on a 60-point spectrum (target:
    under 10 ms), next to a single numpy.linalg.lstsq of the final size as the
    unit of cost in the same run;
(b) memory: peak of the NumPy allocations (tracemalloc) during one check, per
    point, from 1e3 to 1e5 points (target: linear in the points, a small constant);
(c) verdicts on synthetic spectra of the trained topologies (Circuit.ml_circuits()) with random,
    realistic values, 60 points from 100 kHz to 0.1 Hz: the share of valid spectra
    that pass at 0.5, 1 and 2 % noise (target >= 95 %), and the share of spectra
    with a 5 % drift during the sweep at 0.5 % noise that fail, with the default
    time-constant range and with the measured range (extend_decades=0). The drift
    is timed as a sweep spends its time, one period per point, so that it piles up
    in the last decade: the whole impedance grows by 5 % ("Z", e.g. the
    temperature), a series resistance grows by 5 % of the low-frequency |Z| ("A",
    an additive drift), or R1 alone grows by 5 % ("R1", shown for comparison:
    where R1 is a small part of |Z| its drift is far below the noise, and no
    check can see it). Then the drift of Z timed as instruments integrate, at
    least 1 s per point, which spreads it over the whole sweep; and both timings
    at 0.2 % noise.
(d) what any causality check can see of the drift of Z: the rms residual of a
    60-element fit (one decade widened) of the noise-free drifted spectra, the
    part of the drift no causal model absorbs. A slowly varying gain is nearly
    Kramers-Kronig compliant (the transform of eps*Z is about eps times that of
    Z), so this part is a few tenths of a percent, comparable with the noise.
(e) the three noise readings of a valid spectrum against the noise put in, mean and
    sd of their ratio to it: KKResult.noise (the successive differences of the
    check's own residuals, which its verdict is calibrated on), the flags' noise
    level (kelvara.diagnostics.noise_level: a fixed grid, what the fit takes out of
    the differences allowed for) and DrtResult.noise (the spread of the DRT's
    residuals, regularisation bias included).
Targets are printed, never asserted.
"""

from __future__ import annotations

import sys
import time
import tracemalloc

import numpy as np

import warnings

import kelvara
from kelvara.diagnostics import noise_level
from kelvara.validate import kramers_kronig

F = np.logspace(5, -1, 60)
# share of the sweep's time elapsed at each point: one period per point, or at least 1 s
PERIOD_TIMING = np.cumsum(1.0 / F) / np.sum(1.0 / F)
INSTRUMENT_TIMING = np.cumsum(np.maximum(1.0, 1.0 / F)) / np.sum(np.maximum(1.0, 1.0 / F))
DRAW = {"r": (1.0, 1e3), "c": (1e-7, 1e-3), "q": (1e-7, 1e-3), "l": (1e-8, 1e-6), "aw": (1.0, 300.0),
        "z0": (10.0, 500.0), "tau": (0.1, 10.0)}


def random_circuit(rng, name):
    circuit = kelvara.Circuit(name)
    values = [rng.uniform(0.7, 1.0) if n.endswith("alpha") else 10 ** rng.uniform(*np.log10(DRAW[n.split(".")[1]]))
              for n in circuit.param_names()]
    return circuit.with_values(values)


def noisy(rng, z, noise):
    return z + noise * np.abs(z) * (rng.standard_normal(z.size) + 1j * rng.standard_normal(z.size))


def drifting(circuit, mode, elapsed=PERIOD_TIMING):
    names, values = circuit.param_names(), circuit.param_values()
    if mode == "A":
        z = circuit.impedance(F)
        return z + 0.05 * elapsed * np.abs(z[np.argmin(F)])
    out = []
    for f, t in zip(F, elapsed):
        v = list(values)
        if mode == "R1":
            v[names.index("R1.r")] *= 1.0 + 0.05 * t
        z = circuit.with_values(v).impedance([f])[0]
        out.append(z * (1.0 + 0.05 * t) if mode == "Z" else z)
    return np.array(out)


def main() -> None:
    quick = "--quick" in sys.argv
    rng = np.random.default_rng(2024)
    z = noisy(rng, kelvara.Circuit("R0-p(R1,CPE1)").with_values([10.0, 100.0, 1e-5, 0.85]).impedance(F), 0.005)
    kramers_kronig(F, z)
    times, unit = [], []
    a = rng.standard_normal((120, 20))
    for _ in range(30 if quick else 200):
        t0 = time.perf_counter()
        kramers_kronig(F, z)
        times.append(time.perf_counter() - t0)
        t0 = time.perf_counter()
        np.linalg.lstsq(a, a[:, 0], rcond=None)
        unit.append(time.perf_counter() - t0)
    ms = 1e3 * float(np.median(times))
    print(f"(a) 60 points: {ms:.2f} ms per check (target < 10 ms); "
          f"{np.median(times) / np.median(unit):.0f} x one 120x20 lstsq")

    print("(b) peak NumPy memory during one check:")
    for n in (1_000, 10_000) if quick else (1_000, 10_000, 100_000):
        f = np.logspace(5, -1, n)
        zz = noisy(rng, kelvara.Circuit("R0-p(R1,CPE1)").with_values([10.0, 100.0, 1e-5, 0.85]).impedance(f), 0.005)
        tracemalloc.start()
        t0 = time.perf_counter()
        kramers_kronig(f, zz)
        elapsed = time.perf_counter() - t0
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        print(f"    {n:>7} points: peak {peak / 2**20:8.1f} MiB = {peak / n:7.0f} bytes per point, {elapsed:6.2f} s")

    reps = 3 if quick else 20
    names = kelvara.Circuit.ml_circuits()
    print(f"(c) verdicts, {reps} spectra per topology and case ({reps * len(names)} per line):")
    for noise in (0.005, 0.01, 0.02):
        passed = [kramers_kronig(F, noisy(rng, random_circuit(rng, n).impedance(F), noise)).passed
                  for n in names for _ in range(reps)]
        print(f"    valid, {100 * noise:.1f} % noise: {100 * np.mean(passed):5.1f} % pass (target >= 95 %)")
    for mode in ("Z", "A", "R1"):
        spectra = [noisy(rng, drifting(random_circuit(rng, n), mode), 0.005) for n in names for _ in range(reps)]
        for label, options in (("default range", {}), ("measured range", {"extend_decades": 0.0})):
            caught = [not kramers_kronig(F, z, **options).passed for z in spectra]
            print(f"    5 % drift of {mode:2s} at 0.5 % noise, {label:14s}: {100 * np.mean(caught):5.1f} % caught")
    for noise in (0.005, 0.002):
        for label, elapsed in (("one period per point", PERIOD_TIMING), ("at least 1 s per point", INSTRUMENT_TIMING)):
            caught = [not kramers_kronig(F, noisy(rng, drifting(random_circuit(rng, n), "Z", elapsed), noise)).passed
                      for n in names for _ in range(reps)]
            print(f"    5 % drift of Z  at {100 * noise:.1f} % noise, {label:22s}: {100 * np.mean(caught):5.1f} % caught")

    print("(d) rms residual of a 60-element fit of noise-free spectra with a 5 % drift of Z (median, per topology):")
    for label, elapsed in (("one period per point", PERIOD_TIMING), ("at least 1 s per point", INSTRUMENT_TIMING)):
        left = [np.median([kramers_kronig(F, drifting(random_circuit(rng, n), "Z", elapsed), c=None, max_elements=60,
                                          extend_decades=1.0).rms_residual for _ in range(reps)]) for n in names]
        print(f"    {label:22s}: {100 * min(left):.2f}-{100 * max(left):.2f} % of |Z|")

    print("(e) noise readings / noise put in, mean (sd), on valid spectra:")
    for noise in (0.005, 0.01, 0.02):
        ratios = {"KKResult.noise": [], "noise_level": [], "DrtResult.noise": []}
        for n in names:
            for _ in range(max(reps // 2, 2)):
                z = noisy(rng, random_circuit(rng, n).impedance(F), noise)
                ratios["KKResult.noise"].append(kramers_kronig(F, z).noise / noise)
                ratios["noise_level"].append(noise_level(F, z) / noise)
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    ratios["DrtResult.noise"].append(kelvara.drt(F, z).noise / noise)
        cells = ", ".join(f"{k} {np.mean(v):.3f} ({np.std(v):.3f})" for k, v in ratios.items())
        print(f"    {100 * noise:.1f} % noise: {cells}")


if __name__ == "__main__":
    main()
