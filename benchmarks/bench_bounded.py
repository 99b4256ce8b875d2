"""Bounded and fixed fits against scipy's least_squares on the sample files.

    python benchmarks/bench_bounded.py [--files N] [--verbose]

Every sample file of tests/data (17) is fitted with four circuits (randles, two_rq,
R0-p(R1,CPE1)-CPE2, L0-R0-p(R1,CPE1)-p(R2,CPE2)) under four settings each:

  alpha    every CPE exponent bounded to [0.85, 1]
  R0 held  R0.r fixed at the real part of the highest-frequency point (at least 1e-6 |Z|)
  R1 range R1.r bounded to [s/1000, 2 s], s = max Re Z - min Re Z
  q range  CPE1.q bounded to [q0/1000, 1000 q0], q0 = 1/(s w_apex), w_apex where -Im Z peaks

Start: the circuit's guess where its topology is trained, else the catalogue defaults; clamped
into the bounds in force, the held value put in. kelvara fits from it with the default
Levenberg-Marquardt. The reference is the lower cost of two scipy least_squares "trf" runs from
the same start, on Circuit.residuals and Circuit.jacobian (modulus weighting) over the free
parameters: one in physical values with the bounds in force, one in kelvara's search
coordinates of an open parameter (log10(p - lo)), bounded parameters as they are
(ftol = xtol = gtol = 1e-12, x_scale="jac").

A fit passes when its cost is at most 1.01 x the reference (+1e-300). Target: >= 98 % pass,
and no failing fit reports success. The table gives, per circuit and setting, the passes, the
failures that claim success, and the worst cost ratio.
"""

from __future__ import annotations

import argparse
import math
import sys
import time
import warnings
from pathlib import Path

import numpy as np
from scipy.optimize import least_squares

import kelvara
from kelvara import io

DATA = Path(__file__).resolve().parent.parent / "tests" / "data"
CIRCUITS = ["randles", "two_rq", "R0-p(R1,CPE1)-CPE2", "L0-R0-p(R1,CPE1)-p(R2,CPE2)"]
SETTINGS = ["alpha", "R0 held", "R1 range", "q range"]
TOLERANCE = 1.01


def sample_files() -> list[Path]:
    # the sample spectra of the folder itself (its subfolders hold lab files of their own)
    return sorted(p for p in DATA.iterdir() if p.is_file() and p.suffix not in (".md",) and "LICENSE" not in p.name)


def constrained(notation: str, setting: str, f: np.ndarray, z: np.ndarray) -> tuple[kelvara.Circuit, dict]:
    circuit = kelvara.Circuit(notation)
    names = circuit.param_names()
    span = float(z.real.max() - z.real.min())
    if setting == "alpha":
        return circuit.with_bounds({n: (0.85, 1.0) for n in names if n.endswith(".alpha")}), {}
    if setting == "R0 held":
        top = int(np.argmax(f))
        return circuit, {"R0.r": max(float(z[top].real), 1e-6 * float(np.abs(z).max()))}
    if setting == "R1 range":
        return circuit.with_bounds({"R1.r": (span / 1000, 2 * span)}), {}
    w_apex = 2 * math.pi * float(f[int(np.argmax(-z.imag))])
    q0 = 1.0 / (span * w_apex)
    return circuit.with_bounds({"CPE1.q": (q0 / 1000, q0 * 1000)}), {}


def start_of(circuit: kelvara.Circuit, held: dict, f, z) -> np.ndarray:
    try:
        start = np.array(circuit.guess(f, z), dtype=float)
    except ValueError:
        start = np.array(circuit.param_values(), dtype=float)
    for j, (lo, hi) in enumerate(circuit.param_bounds()):
        start[j] = min(max(start[j], lo), hi)
    for name, value in held.items():
        start[circuit.param_names().index(name)] = value
    return start


def scipy_reference(circuit: kelvara.Circuit, free: list[int], start: np.ndarray, f, z) -> tuple[float, str]:
    bounds = np.array(circuit.param_bounds())[free]
    lo, hi = bounds[:, 0], bounds[:, 1]
    opts = dict(method="trf", x_scale="jac", ftol=1e-12, xtol=1e-12, gtol=1e-12, max_nfev=5000)

    def physical(x):
        p = start.copy()
        p[free] = x
        return p

    best, how = math.inf, ""
    # physical values with the bounds in force
    try:
        fit = least_squares(lambda x: circuit.residuals(physical(x), f, z),
                            np.clip(start[free], lo, hi), bounds=(lo, hi),
                            jac=lambda x: np.asarray(circuit.jacobian(physical(x), f, z))[:, free], **opts)
        if np.isfinite(fit.cost):
            best, how = fit.cost, "physical"
    except (ValueError, np.linalg.LinAlgError):
        pass
    # search coordinates: log10(p - lo) for the open parameters
    open_ = ~np.isfinite(hi)

    def to_p(y):
        x = np.where(open_, lo + 10.0 ** y, y)
        return physical(x)

    def jac(y):
        x = np.where(open_, lo + 10.0 ** y, y)
        scale = np.where(open_, (x - lo) * math.log(10), 1.0)
        return np.asarray(circuit.jacobian(physical(x), f, z))[:, free] * scale

    y0 = np.where(open_, np.log10(np.maximum(start[free] - lo, 1e-300)), start[free])
    ylo, yhi = np.where(open_, -np.inf, lo), np.where(open_, np.inf, hi)
    try:
        fit = least_squares(lambda y: circuit.residuals(to_p(y), f, z), y0, bounds=(ylo, yhi), jac=jac, **opts)
        if np.isfinite(fit.cost) and fit.cost < best:
            best, how = fit.cost, "search"
    except (ValueError, np.linalg.LinAlgError):
        pass
    return best, how


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=None, help="only the first N sample files")
    parser.add_argument("--verbose", action="store_true", help="print every failing fit")
    args = parser.parse_args()
    warnings.simplefilter("ignore")

    rows = {(c, s): [0, 0, 0, 1.0] for c in CIRCUITS for s in SETTINGS}  # fits, passes, false success, worst
    failures = []
    seconds = 0.0
    for path in sample_files()[: args.files]:
        f, z = io.read(path)
        f, z = np.asarray(f, dtype=float), np.asarray(z, dtype=complex)
        for notation in CIRCUITS:
            for setting in SETTINGS:
                circuit, held = constrained(notation, setting, f, z)
                start = start_of(circuit, held, f, z)
                circuit = circuit.with_values(list(start))
                if held:
                    circuit = circuit.with_fixed(held)
                free = [j for j, n in enumerate(circuit.param_names()) if n not in held]
                t = time.perf_counter()
                result = circuit.fit(f, z, guess_init=False)
                seconds += time.perf_counter() - t
                reference, how = scipy_reference(circuit, free, start, f, z)
                ratio = result.cost / reference if reference > 0 else (1.0 if result.cost <= 1e-300 else math.inf)
                row = rows[(notation, setting)]
                row[0] += 1
                passed = result.cost <= TOLERANCE * reference + 1e-300
                row[1] += passed
                if not passed:
                    row[2] += bool(result.success)
                    failures.append((path.name, notation, setting, ratio, result.success, result.message, how))
                row[3] = max(row[3], ratio)

    total = sum(r[0] for r in rows.values())
    passes = sum(r[1] for r in rows.values())
    claims = sum(r[2] for r in rows.values())
    print(f"{'circuit':<30} {'setting':<9} {'pass':>7} {'fail+success':>12} {'worst ratio':>12}")
    for (notation, setting), (n, ok, claimed, worst) in rows.items():
        print(f"{notation:<30} {setting:<9} {ok:>3}/{n:<3} {claimed:>12} {worst:>12.4g}")
    print(f"\nall: {passes}/{total} = {100 * passes / total:.1f} % within {TOLERANCE}x of scipy "
          f"(target >= 98 %); {claims} failing fits claim success (target 0); kelvara {seconds:.1f} s in all")
    if args.verbose:
        for name, notation, setting, ratio, success, message, how in sorted(failures, key=lambda r: -r[3]):
            print(f"  {ratio:10.4g}  success={success!s:<5} {name:<30} {notation:<28} {setting:<9} ({how}) {message}")
    return 0 if passes >= 0.98 * total and claims == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
