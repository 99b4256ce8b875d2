"""kelvara.select over the eleven trained topologies: time per spectrum, the
confusion matrix on synthetic spectra drawn from each topology with 0.5 %
noise, and the flag rate of the true circuit's fit.

    python benchmarks/bench_select.py [--per-topology N] [--seed S]

Time is the median wall time of one select() call per 60-point spectrum, next
to fitting the eleven candidates one after another with Circuit.fit (ratio in
the same run).
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

import kelvara

F = np.logspace(5, -2, 60)
NOISE = 0.005


def draw(name: str, rng: np.random.Generator) -> list[float]:
    """Realistic values for the trained topology `name`: arcs two or more decades
    apart, visible inductance and diffusion."""
    lu = lambda lo, hi: float(10 ** rng.uniform(np.log10(lo), np.log10(hi)))  # noqa: E731
    w_min = 2 * np.pi * F.min()
    r0, r1, r2 = lu(1, 50), lu(20, 500), lu(20, 500)
    tau1 = lu(1e-4, 1e-3)
    tau2 = tau1 * lu(300, 3000)
    a1, a2 = rng.uniform(0.7, 0.95), rng.uniform(0.7, 0.95)
    values = {"L0.l": lu(2e-6, 2e-5), "R0.r": r0, "R1.r": r1, "C1.c": tau1 / r1, "CPE1.q": tau1**a1 / r1,
              "CPE1.alpha": a1, "R2.r": r2, "C2.c": tau2 / r2, "CPE2.q": tau2**a2 / r2, "CPE2.alpha": a2,
              "W1.aw": r1 * rng.uniform(0.5, 2) * np.sqrt(w_min * 30), "W2.aw": r2 * rng.uniform(0.5, 2) * np.sqrt(w_min * 30),
              "Wo2.z0": r2 * rng.uniform(0.5, 2), "Wo2.tau": lu(1, 10)}
    if name == "randles":  # one arc: its diffusion tail after it
        values["CPE1.q"] = tau2**a1 / r1
    return [values[p] for p in kelvara.Circuit(name).param_names()]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--per-topology", type=int, default=20)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    names = kelvara.Circuit.ml_circuits()
    confusion = {name: dict.fromkeys(names, 0) for name in names}
    flagged = {name: 0 for name in names}
    times, sequential = [], []
    for name in names:
        truth = kelvara.Circuit(name)
        for k in range(args.per_topology):
            z = truth.with_values(draw(name, rng)).impedance(F)
            z = z * (1 + NOISE * (rng.standard_normal(len(F)) + 1j * rng.standard_normal(len(F))))
            start = time.perf_counter()
            ranking = kelvara.select(F, z)
            times.append(time.perf_counter() - start)
            chosen = ranking.chosen.notation if ranking.chosen else "-"
            chosen_name = next((n for n in names if kelvara.Circuit(n).notation == chosen), "-")
            confusion[name][chosen_name] = confusion[name].get(chosen_name, 0) + 1
            own = truth.fit(F, z)
            flagged[name] += bool(own.flags)
            if k < 2:
                start = time.perf_counter()
                for candidate in names:
                    kelvara.Circuit(candidate).fit(F, z)
                sequential.append(time.perf_counter() - start)
    width = max(map(len, names))
    print("confusion matrix (rows: truth, columns: chosen)")
    print(" " * width + " " + " ".join(f"{n[:7]:>7s}" for n in names))
    for name in names:
        print(f"{name:{width}s} " + " ".join(f"{confusion[name][n]:7d}" for n in names))
    total = sum(confusion[n][n] for n in names)
    count = args.per_topology * len(names)
    print(f"correct {total}/{count} = {100 * total / count:.1f} %")
    print("true circuit's own fit flagged: " + ", ".join(f"{n} {flagged[n]}/{args.per_topology}" for n in names)
          + f"; total {100 * sum(flagged.values()) / count:.1f} %")
    print(f"select median {1e3 * statistics.median(times):.1f} ms per spectrum; eleven fits one after another "
          f"median {1e3 * statistics.median(sequential):.1f} ms; ratio "
          f"{statistics.median(times) / statistics.median(sequential):.2f}")


if __name__ == "__main__":
    main()
