"""kelvara.select over the trained topologies (Circuit.ml_circuits()): time per spectrum, the
confusion matrix on synthetic spectra drawn from each topology with 0.5 %
noise, and the flag rate of the true circuit's fit.

    python benchmarks/bench_select.py [--per-topology N] [--seed S] [--noise 0.005]

Time is the median wall time of one select() call per 60-point spectrum (and
its process time, both threads), next to select without its early stop and to
fitting the candidates one after another with Circuit.fit (ratio in the
same run). The benchmark also counts the spectra on which the early stop
changed the choice.
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

import kelvara

F = np.logspace(5, -2, 60)
NOISE = 0.005


W_MIN, W_MAX = 2 * np.pi * F.min(), 2 * np.pi * F.max()
#: Decades between a process's time constant and either end of the measured window.
MARGIN = 1.0
#: Decades between neighbouring processes (arc, arc, diffusion), lower and upper end.
SEPARATION = (2.0, 2.5)


def draw(name: str, rng: np.random.Generator) -> list[float]:
    """Values of a well-posed spectrum for the trained topology `name`.

    - Every process has its time constant inside the window with MARGIN decades to
      spare: the arcs' tau = (R Q)^(1/alpha), and for a Warburg W the time 1/w at
      which its impedance equals its branch's resistance.
    - A finite Warburg Wo turns from its 45-degree line to a capacitive one near
      w tau = 3: that bend lies 0.8-1.3 decades above the lowest frequency
      (w_min tau = 0.15-0.5), and z0 is 3-5 times R2, so that both the Warburg
      stretch and the capacitive one are measured. (With a longer capacitive
      stretch or a smaller z0 the data determine z0/tau, not each: z0 and tau
      correlate beyond 0.99.)
    - Processes lie in the order arc, arc, diffusion, SEPARATION decades apart.
    - Resistances are comparable: R1 in 20-500 ohm, R2 within a factor 3 of R1,
      the series resistance 1-50 ohm.
    - CPE exponents 0.75-0.95; an inductance whose reactance at the highest
      frequency is 30-100 % of the series resistance.
    """
    lu = lambda lo, hi: float(10 ** rng.uniform(np.log10(lo), np.log10(hi)))  # noqa: E731
    params = kelvara.Circuit(name).param_names()
    count = (2 if "R2.r" in params else 1) + any(p[0] == "W" for p in params)
    gaps = rng.uniform(*SEPARATION, count - 1)
    lo, hi = -np.log10(W_MAX) + MARGIN, -np.log10(W_MIN) - MARGIN
    if "Wo2.tau" in params:
        first = np.log10(rng.uniform(0.15, 0.5) / W_MIN) - gaps.sum()
    else:
        first = rng.uniform(lo, hi - gaps.sum())
    taus = 10 ** (first + np.concatenate([[0.0], np.cumsum(gaps)]))
    tau1, tau2, tau_d = taus[0], taus[min(1, count - 1)], taus[-1]
    r0, r1 = lu(1, 50), lu(20, 500)
    r2 = r1 * lu(1 / 3, 3)
    a1, a2 = rng.uniform(0.75, 0.95), rng.uniform(0.75, 0.95)
    r_d = r1 if name == "randles" else r2  # the resistance in series with the diffusion element
    values = {"L0.l": r0 * rng.uniform(0.3, 1) / W_MAX, "R0.r": r0, "R1.r": r1, "C1.c": tau1 / r1,
              "CPE1.q": tau1**a1 / r1, "CPE1.alpha": a1, "R2.r": r2, "C2.c": tau2 / r2, "CPE2.q": tau2**a2 / r2,
              "CPE2.alpha": a2, "W1.aw": r_d / np.sqrt(tau_d), "W2.aw": r_d / np.sqrt(tau_d),
              "Wo2.z0": r_d * rng.uniform(3, 5), "Wo2.tau": tau_d}
    return [values[p] for p in params]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--per-topology", type=int, default=20)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--noise", type=float, default=NOISE, help="relative noise (default 0.005)")
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    names = kelvara.Circuit.ml_circuits()
    notations = {kelvara.Circuit(n).notation: n for n in names}
    confusion = {name: dict.fromkeys(names, 0) for name in names}
    flagged = {name: 0 for name in names}
    times, cpu, exhaustive_times, sequential, fitted = [], [], [], [], []
    changed = exhaustive_correct = 0
    for name in names:
        truth = kelvara.Circuit(name)
        for k in range(args.per_topology):
            z = truth.with_values(draw(name, rng)).impedance(F)
            z = z * (1 + args.noise * (rng.standard_normal(len(F)) + 1j * rng.standard_normal(len(F))))
            start, start_cpu = time.perf_counter(), time.process_time()
            ranking = kelvara.select(F, z)
            times.append(time.perf_counter() - start)
            cpu.append(time.process_time() - start_cpu)
            fitted.append(len(ranking.ranked))
            chosen = notations.get(ranking.chosen.notation if ranking.chosen else "", "-")
            confusion[name][chosen] = confusion[name].get(chosen, 0) + 1
            start = time.perf_counter()
            exhaustive = kelvara.select(F, z, early_stop=False)
            exhaustive_times.append(time.perf_counter() - start)
            changed += exhaustive.chosen is None or ranking.chosen is None or \
                exhaustive.chosen.notation != ranking.chosen.notation
            exhaustive_correct += exhaustive.chosen is not None and exhaustive.chosen.notation == truth.notation
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
    ms = lambda values: 1e3 * statistics.median(values)  # noqa: E731
    print(f"select median {ms(times):.1f} ms per spectrum (90th percentile {1e3 * np.percentile(times, 90):.1f}, "
          f"slowest {1e3 * max(times):.1f}), process time {ms(cpu):.1f} ms; candidates fitted median "
          f"{statistics.median(fitted):g} of {len(names)}")
    print(f"select without the early stop median {ms(exhaustive_times):.1f} ms, correct {exhaustive_correct}/{count}; "
          f"choice changed by the early stop on {changed}/{count}")
    print(f"the trained topologies' fits one after another median {ms(sequential):.1f} ms; ratio select/sequential "
          f"{statistics.median(times) / statistics.median(sequential):.2f}")


if __name__ == "__main__":
    main()
