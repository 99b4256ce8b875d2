"""Any circuit fitted well without a start: the true circuit's fit from no values of
the user's, and kelvara.select over a labelled set of circuits beyond the trained
topologies.

    python benchmarks/bench_any_circuit.py [--draws N] [--seed S] [--noise 0.005]
        [--circuits LR1,Q3,...] [--no-default-select] [--speed]

The set (labels as printed; kelvara notation):

    LR1   L0-R0-p(R1,CPE1)                      LR2  L0-R0-p(R1,CPE1)-p(R2,CPE2)
    LR3   L0-R0-p(R1,CPE1)-p(R2,CPE2)-p(R3,CPE3)
    Q2    two R||CPE arcs, no series R          Q3, Q4  three and four of them
    CCQQ  p(R1,C1)-p(R2,C2)-p(R3,CPE3)-p(R4,CPE4)
    CGG   p(R1,C1)-G2-G3 (an R||C and two Gerischers)
    RWo   R0-Wo1 (finite-space Warburg: coth, capacitive at low frequency)
    RWQQ  R0-p(R1-W1,CPE1)-p(R2,CPE2)           RQB  R0-p(R1,CPE1)-CPE2 (blocking)

Each draw (per circuit) takes a window of 3-8 decades (upper end 100 Hz-1 MHz) at
5-15 points per decade and values over wide ranges: every process's time constant
log-uniform anywhere in the window, resistances log-uniform in 1e-3..1e6 ohm with
capacitances (tau / R, also for a CPE, a Gerischer and a Warburg) not below 1e-12 F,
CPE exponents 0.6-1, the inductance's reactance at the top frequency 1-300 % of the
rest of the circuit's |Z| there. Each draw is measured noise-free and with noise
Z += noise |Z| (n1 + j n2), n1, n2 standard normal (0.5 % by default). Seeded per
circuit and draw, so a run is reproducible and a subset of circuits draws the same
spectra.

(a) The true circuit fitted with no start of the user's: from
    ``Circuit(notation).with_data_start(f, z)`` when the build has it, else
    ``Circuit(notation).fit(f, z)`` with its default start (the network's guess for a
    trained topology, else placeholder values). It reaches the best known optimum
    when its chi-square is within 1 % of the lower of its own and that of the fit
    started from the generating values (+ an absolute allowance of rms misfit
    EXACT: on a noise-free spectrum both are near zero). Target: >= 98 % per noise
    level. Also the median time of data start + fit.
(b) ``kelvara.select(f, z, candidates=<the set>)``. Adequate: the chosen fit's
    ``relative_misfit`` is at most 1.05 times that of the truth's best fit (+ EXACT)
    and the chosen circuit has no more free parameters than the truth. Target:
    >= 95 % adequate; and where the truth's best fit has no ``undetermined`` flag,
    the generating circuit (same topology) chosen on >= 90 %. That flag is read on
    the noisy copy of the draw for both copies: a noise-free fit has vanishing
    standard errors even for an element whose share of |Z| is far below any
    measurement's noise (the wide ranges draw many such). "(b) dof" repeats the
    adequacy share with both misfits scaled by sqrt(2N / (2N - k)) for the k fitted
    parameters, the noise level each fit estimates: a circuit with fewer parameters
    that fits only the noise less has a raw misfit higher by that factor (15 % for 6
    against 12 parameters at 15 points). Confusion matrix per
    noise level (rows: truth, columns: chosen). The same adequacy share for
    ``kelvara.select(f, z)`` with its default candidates (whatever they are in this
    build), and the median time per select.

A call that raises counts as a failure (the error is counted and the first few
printed); the benchmark goes on. The default --draws keeps the run under 10 minutes
on 2 cores.
"""

from __future__ import annotations

import argparse
import math
import statistics
import sys
import time
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import kelvara  # noqa: E402
from kelvara.diagnostics import relative_misfit  # noqa: E402
from kelvara.selection import _scaled_misfit  # noqa: E402
from unstarted import best_of, chi_square, fit_unstarted, start_mode, topology, try_call  # noqa: E402

CIRCUITS = {
    "LR1": "L0-R0-p(R1,CPE1)",
    "LR2": "L0-R0-p(R1,CPE1)-p(R2,CPE2)",
    "LR3": "L0-R0-p(R1,CPE1)-p(R2,CPE2)-p(R3,CPE3)",
    "Q2": "p(R1,CPE1)-p(R2,CPE2)",
    "Q3": "p(R1,CPE1)-p(R2,CPE2)-p(R3,CPE3)",
    "Q4": "p(R1,CPE1)-p(R2,CPE2)-p(R3,CPE3)-p(R4,CPE4)",
    "CCQQ": "p(R1,C1)-p(R2,C2)-p(R3,CPE3)-p(R4,CPE4)",
    "CGG": "p(R1,C1)-G2-G3",
    "RWo": "R0-Wo1",
    "RWQQ": "R0-p(R1-W1,CPE1)-p(R2,CPE2)",
    "RQB": "R0-p(R1,CPE1)-CPE2",
}

NOISE = 0.005
R_RANGE = (1e-3, 1e6)  # ohm
C_MIN = 1e-12  # F
ALPHA_RANGE = (0.6, 1.0)
F_TOP = (1e2, 1e6)  # Hz, the window's upper end
DECADES = (3.0, 8.0)
PER_DECADE = (5, 15)
L_SHARE = (0.01, 3.0)  # inductive reactance at the top frequency / |Z of the rest| there
#: Misfit (rms relative) below which two fits count as equally exact, whatever their ratio.
EXACT = 1e-5
CHI_TOLERANCE = 0.01  # (a): within 1 % of the best known chi-square
MISFIT_TOLERANCE = 0.05  # (b): within 5 % of the truth's relative misfit
TARGET_A, TARGET_B, TARGET_EXACT = 98.0, 95.0, 90.0
DRAWS = 40  # per circuit; both noise levels are measured on each draw


def _log_uniform(rng: np.random.Generator, lo: float, hi: float) -> float:
    return float(10 ** rng.uniform(math.log10(lo), math.log10(hi)))


def draw_window(rng: np.random.Generator) -> np.ndarray:
    """Frequencies (Hz, descending) of a window of 3-8 decades at 5-15 points per decade."""
    top = math.log10(_log_uniform(rng, *F_TOP))
    decades = rng.uniform(*DECADES)
    per_decade = int(rng.integers(PER_DECADE[0], PER_DECADE[1] + 1))
    return np.logspace(top, top - decades, int(round(decades * per_decade)) + 1)


def draw_values(notation: str, f: np.ndarray, rng: np.random.Generator) -> list[float]:
    """Values for `notation` over the wide ranges of the module docstring.

    Elements sharing a label number make one process with one time constant tau
    (anywhere in the window): R with C or CPE is an arc of tau = R C or
    (R q)^(1/alpha); a W in series with R turns the branch diffusive at 1/tau
    (aw = R / sqrt(tau)); a G, a Wo or a lone CPE gets its own resistance scale r
    with tau / r >= C_MIN (G: rg = r, tg = tau; Wo: z0 = r; CPE: |Z| = r at 1/tau).
    An R with no C/CPE/G/Wo/W beside it (the series resistance) is log-uniform in
    R_RANGE; the inductance comes last, scaled to the rest of the circuit.
    """
    circuit = kelvara.Circuit(notation)
    names = circuit.param_names()
    w = 2 * math.pi * f
    w_min, w_max = float(w.min()), float(w.max())
    groups: dict[str, list[str]] = {}
    for name in names:
        label = name.split(".")[0]
        number = label.lstrip("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")
        groups.setdefault(number, [])
        if label not in groups[number]:
            groups[number].append(label)
    values: dict[str, float] = {}
    inductor = None
    for number, labels in groups.items():
        codes = {label[: -len(number)].upper(): label for label in labels}
        tau = _log_uniform(rng, 1 / w_max, 1 / w_min)
        if "L" in codes:
            inductor = codes["L"]
        paired = any(c in codes for c in ("C", "CPE", "W"))
        if "R" in codes:
            hi = min(R_RANGE[1], tau / C_MIN) if paired else R_RANGE[1]
            r = _log_uniform(rng, R_RANGE[0], hi)
            values[f"{codes['R']}.r"] = r
        else:
            r = _log_uniform(rng, R_RANGE[0], min(R_RANGE[1], tau / C_MIN))
        if "C" in codes:
            values[f"{codes['C']}.c"] = tau / r
        if "CPE" in codes:
            alpha = rng.uniform(*ALPHA_RANGE)
            values[f"{codes['CPE']}.q"] = tau**alpha / r
            values[f"{codes['CPE']}.alpha"] = alpha
        if "W" in codes:
            values[f"{codes['W']}.aw"] = r / math.sqrt(_log_uniform(rng, 1 / w_max, 1 / w_min))
        if "G" in codes:
            values[f"{codes['G']}.rg"], values[f"{codes['G']}.tg"] = r, tau
        if "WO" in codes:
            values[f"{codes['WO']}.z0"], values[f"{codes['WO']}.tau"] = r, tau
    if inductor is not None:
        values[f"{inductor}.l"] = 0.0
        rest = abs(circuit.with_named_values(values).impedance([w_max / (2 * math.pi)])[0])
        values[f"{inductor}.l"] = _log_uniform(rng, *L_SHARE) * rest / w_max
    missing = set(names) - set(values)
    if missing:
        raise ValueError(f"no rule draws {sorted(missing)} of {notation}")
    return [values[name] for name in names]


def add_noise(z: np.ndarray, level: float, rng: np.random.Generator) -> np.ndarray:
    if level == 0:
        return z
    return z + level * np.abs(z) * (rng.standard_normal(len(z)) + 1j * rng.standard_normal(len(z)))


def misfit(result: object) -> float:
    if result is None:
        return math.inf
    value = relative_misfit(result)  # type: ignore[arg-type]
    return value if math.isfinite(value) else math.inf


def dof_misfit(result: object) -> float:
    """The rms relative misfit with the residual degrees of freedom the fit takes put
    back, as the flags and select read it: the noise level a fit estimates, whatever
    its parameter count (the raw misfit of a fit with fewer parameters is higher by
    that factor even where its extra parameters fit only noise)."""
    if result is None:
        return math.inf
    value = _scaled_misfit(result)  # type: ignore[arg-type]
    return value if math.isfinite(value) else math.inf


@dataclass
class Tally:
    """Counts of one (circuit, noise level) cell."""

    spectra: int = 0
    reached: int = 0  # (a)
    adequate: int = 0  # (b), the set as candidates
    adequate_dof: int = 0  # (b) with misfits scaled for the degrees of freedom the fit takes
    determined: int = 0  # truth's best fit has no undetermined flag
    exact: int = 0  # ... and select chose the generating topology
    default_adequate: int = 0
    default_exact: int = 0
    chosen: Counter = field(default_factory=Counter)


@dataclass
class Run:
    tallies: dict[tuple[str, float], Tally] = field(default_factory=dict)
    fit_times: list[float] = field(default_factory=list)
    select_times: list[float] = field(default_factory=list)
    default_times: list[float] = field(default_factory=list)
    errors: Counter = field(default_factory=Counter)

    def error(self, where: str, text: str | None) -> None:
        if text is not None:
            self.errors[f"{where}: {text.splitlines()[0][:120]}"] += 1


def _chosen_label(comparison: object, labels: dict[str, str]) -> tuple[str, object, int]:
    """(label of the chosen circuit's topology or its notation, chosen fit, its free count)."""
    chosen = getattr(comparison, "chosen", None)
    if comparison is None or chosen is None or chosen.result is None:
        return "-", None, 0
    try:
        key = topology(chosen.notation)
    except ValueError:  # a notation the key cannot read counts as itself
        key = chosen.notation
    return labels.get(key, chosen.notation), chosen.result, chosen.n_free


def measure(label: str, notation: str, f: np.ndarray, spectra: dict[float, np.ndarray], run: Run,
            candidates: list[str], labels: dict[str, str], truth_values: list[float],
            default_select: bool) -> None:
    """Measures one draw at every noise level of `spectra` ({level: impedances})."""
    best_fits = {}
    for level, z in spectra.items():
        tally = run.tallies[(label, level)]
        tally.spectra += 1
        own, seconds, text = try_call(fit_unstarted, notation, f, z)
        run.error(f"{label} fit without a start", text)
        run.fit_times.append(seconds)
        reference, _, text = try_call(lambda: kelvara.Circuit(notation).with_values(truth_values).fit(f, z))
        run.error(f"{label} fit from the generating values", text)
        best_fits[level] = best = best_of(own, reference)
        allowance = 2 * len(f) * EXACT**2
        if own is not None and chi_square(own) <= (1 + CHI_TOLERANCE) * chi_square(best) + allowance:
            tally.reached += 1
    # Whether the data determine the truth's parameters is judged on the noisiest copy: a
    # noise-free fit has vanishing standard errors even for an element far below |Z|.
    noisiest = best_fits[max(spectra)]
    determined = noisiest is not None and not any(flag.code == "undetermined" for flag in noisiest.flags)
    free = len(kelvara.Circuit(notation).param_names())
    for level, z in spectra.items():
        tally = run.tallies[(label, level)]
        tally.determined += determined
        truth_misfit = misfit(best_fits[level])
        truth_scaled = dof_misfit(best_fits[level])

        def adequate(result: object, n_free: int) -> bool:
            return result is not None and n_free <= free and \
                misfit(result) <= (1 + MISFIT_TOLERANCE) * truth_misfit + EXACT

        def adequate_dof(result: object, n_free: int) -> bool:
            return result is not None and n_free <= free and \
                dof_misfit(result) <= (1 + MISFIT_TOLERANCE) * truth_scaled + EXACT

        comparison, seconds, text = try_call(kelvara.select, f, z, candidates=candidates)
        run.error(f"{label} select over the set", text)
        run.select_times.append(seconds)
        chosen, result, n_free = _chosen_label(comparison, labels)
        tally.chosen[chosen] += 1
        tally.adequate += adequate(result, n_free)
        tally.adequate_dof += adequate_dof(result, n_free)
        tally.exact += determined and chosen == label
        if default_select:
            comparison, seconds, text = try_call(kelvara.select, f, z)
            run.error(f"{label} select with default candidates", text)
            run.default_times.append(seconds)
            chosen, result, n_free = _chosen_label(comparison, labels)
            tally.default_adequate += adequate(result, n_free)
            tally.default_exact += determined and chosen == label


def percent(part: int, whole: int) -> str:
    return f"{100 * part / whole:5.1f}" if whole else "    -"


def report(run: Run, labels_used: list[str], levels: list[float], default_select: bool, seconds: float) -> None:
    def noise_name(level: float) -> str:
        return "noise-free" if level == 0 else f"{100 * level:g} % noise"

    print(f"\n(a) true circuit fitted without a start: % reaching the best known optimum "
          f"(chi-square within {100 * CHI_TOLERANCE:g} %), target >= {TARGET_A:g} %")
    print(f"(b) select over the set: % adequate (misfit within {100 * MISFIT_TOLERANCE:g} % of the truth's, no more "
          f"free parameters), target >= {TARGET_B:g} %; % generating circuit chosen where the truth's fit is "
          f"determined (det = spectra where it is), target >= {TARGET_EXACT:g} %")
    print("    (b) dof: the same with both misfits scaled by sqrt(2N / (2N - k)) for the k fitted parameters")
    if default_select:
        print("    default: the same two shares for select with its default candidates")
    header = (f"{'circuit':8s}{'noise':>11s}{'n':>5s}{'(a) %':>8s}{'(b) %':>8s}{'(b) dof %':>10s}{'det':>5s}"
              f"{'exact %':>9s}")
    if default_select:
        header += f"{'default %':>11s}{'d. exact %':>12s}"
    print(header)
    for level in levels:
        total = Tally()
        for label in labels_used:
            t = run.tallies[(label, level)]
            for name in ("spectra", "reached", "adequate", "adequate_dof", "determined", "exact",
                         "default_adequate", "default_exact"):
                setattr(total, name, getattr(total, name) + getattr(t, name))
            _row(label, noise_name(level), t, default_select)
        _row("all", noise_name(level), total, default_select)
        print()
    ms = lambda values: f"{1e3 * statistics.median(values):.1f} ms" if values else "-"  # noqa: E731
    print(f"median time: data start + fit {ms(run.fit_times)}; select over the set {ms(run.select_times)}"
          + (f"; select with default candidates {ms(run.default_times)}" if default_select else "")
          + f"; whole run {seconds:.0f} s")
    for level in levels:
        _confusion(run, labels_used, level, noise_name(level))
    if run.errors:
        print(f"\ncalls that raised ({sum(run.errors.values())}):")
        for text, count in run.errors.most_common(8):
            print(f"  {count:4d} x {text}")


def _row(label: str, noise: str, t: Tally, default_select: bool) -> None:
    line = (f"{label:8s}{noise:>11s}{t.spectra:5d}{percent(t.reached, t.spectra):>8s}"
            f"{percent(t.adequate, t.spectra):>8s}{percent(t.adequate_dof, t.spectra):>10s}{t.determined:5d}"
            f"{percent(t.exact, t.determined):>9s}")
    if default_select:
        line += f"{percent(t.default_adequate, t.spectra):>11s}{percent(t.default_exact, t.determined):>12s}"
    print(line)


def _confusion(run: Run, labels_used: list[str], level: float, noise: str) -> None:
    columns = list(CIRCUITS)
    width = max(5, *(len(c) for c in CIRCUITS))
    print(f"\nconfusion matrix, select over the set, {noise} (rows: truth, columns: chosen; other: a circuit "
          f"outside the set, such as one reduced from a candidate; - = none)")
    print(" " * 6 + "".join(f"{c[:width]:>{width + 1}s}" for c in [*columns, "other"]))
    for label in labels_used:
        chosen = run.tallies[(label, level)].chosen
        other = sum(count for name, count in chosen.items() if name not in CIRCUITS)
        print(f"{label:6s}" + "".join(f"{chosen.get(c, 0) or '.':>{width + 1}}" for c in columns)
              + f"{other or '.':>{width + 1}}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--draws", type=int, default=DRAWS, help=f"draws per circuit (default {DRAWS})")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--noise", type=float, default=NOISE, help="relative noise of the noisy copy (0.005)")
    parser.add_argument("--circuits", default=",".join(CIRCUITS), help="comma-separated labels of the set")
    parser.add_argument("--no-default-select", action="store_true", help="skip select with default candidates")
    parser.add_argument("--speed", action="store_true",
                        help="only the speed at 60 points: data start (DRT included) and select with default candidates")
    args = parser.parse_args()
    if args.speed:
        speed(args.seed)
        return
    labels_used = args.circuits.split(",")
    unknown = [label for label in labels_used if label not in CIRCUITS]
    if unknown:
        parser.error(f"unknown circuit labels {unknown}; known: {', '.join(CIRCUITS)}")
    default_select = not args.no_default_select
    levels = sorted({0.0, args.noise})
    candidates = list(CIRCUITS.values())
    labels = {topology(notation): label for label, notation in CIRCUITS.items()}
    run = Run()
    for label in labels_used:
        for level in levels:
            run.tallies[(label, level)] = Tally()
    begin = time.perf_counter()
    print(f"{args.draws} draws per circuit, seed {args.seed}; start: {start_mode()}", flush=True)
    for index, label in enumerate(CIRCUITS):
        if label not in labels_used:
            continue
        notation = CIRCUITS[label]
        for k in range(args.draws):
            rng = np.random.default_rng([args.seed, index, k])
            f = draw_window(rng)
            values = draw_values(notation, f, rng)
            z_true = kelvara.Circuit(notation).with_values(values).impedance(f)
            spectra = {level: add_noise(z_true, level, rng) for level in levels}
            measure(label, notation, f, spectra, run, candidates, labels, values, default_select)
        print(f"  {label} done ({time.perf_counter() - begin:.0f} s)", file=sys.stderr, flush=True)
    report(run, labels_used, levels, default_select, time.perf_counter() - begin)


def speed(seed: int, draws: int = 10) -> None:
    """Median time of ``with_data_start`` (DRT included) and of ``select`` with its default
    candidates, on 60-point spectra (six decades at 10 points per decade, 0.5 % noise) of
    every circuit of the set. Targets: 3 ms and 50 ms. Beside them the DRT's own time on
    the same spectra: the share of the data start no choice of starts can save."""
    import warnings

    f = np.logspace(5, -1, 60)
    starts, selects, drts = [], [], []
    print(f"{'circuit':8s} {'data start ms':>14s} {'of it DRT ms':>13s} {'select ms':>10s}")
    for index, (label, notation) in enumerate(CIRCUITS.items()):
        own_starts, own_selects, own_drts = [], [], []
        for k in range(draws):
            rng = np.random.default_rng([seed, 1000 + index, k])
            z = add_noise(kelvara.Circuit(notation).with_values(draw_values(notation, f, rng)).impedance(f),
                          NOISE, rng)
            circuit = kelvara.Circuit(notation)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                begin = time.perf_counter()
                circuit.with_data_start(f, z)
                own_starts.append(time.perf_counter() - begin)
                begin = time.perf_counter()
                kelvara.drt(f, z)
                own_drts.append(time.perf_counter() - begin)
                begin = time.perf_counter()
                kelvara.select(f, z)
                own_selects.append(time.perf_counter() - begin)
        starts += own_starts
        selects += own_selects
        drts += own_drts
        print(f"{label:8s} {1e3 * statistics.median(own_starts):14.2f} {1e3 * statistics.median(own_drts):13.2f}"
              f" {1e3 * statistics.median(own_selects):10.1f}")
    print(f"{'all':8s} {1e3 * statistics.median(starts):14.2f} {1e3 * statistics.median(drts):13.2f}"
          f" {1e3 * statistics.median(selects):10.1f}   (targets: 3 ms, 50 ms)")


if __name__ == "__main__":
    main()
