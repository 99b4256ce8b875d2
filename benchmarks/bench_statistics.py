"""What the statistics and the flags add to a fit (target: under 5 %).

    PYTHONPATH=python python3 benchmarks/bench_statistics.py [--quick]

Workload: default fits (network guess, every start) of synthetic 60-point spectra
of the trained topologies (Circuit.ml_circuits()) at 0.5 % noise.

(a) statistics: they are worked out in the core at the end of every fit (final
    residuals, the Jacobian of the free parameters, J^T J, its inverse, the
    covariance and the information criteria). Their share of the fit is counted in
    instructions with callgrind (valgrind --tool=callgrind, when installed): the
    inclusive count of that final step against the inclusive count of the whole
    fit call. The step also holds the standard errors that fits always had, so
    the share is an upper bound. The same run reads each result's .flags and
    counts the flags' work (noise estimate included) the same way.
(b) flags: worked out in the core on first use of FitResult.flags (or .verdict),
    never by fit() itself. Wall time in one run: the median default fit against
    the median first access to .flags of a fresh result, which includes a linear
    Kramers-Kronig fit of the spectrum for its noise level; and against
    kelvara.diagnostics.diagnose() with the noise level given, the flags' own
    work without that fit.
Targets are printed, never asserted.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

import kelvara
from kelvara.diagnostics import diagnose

F = np.logspace(5, -1, 60)
DRAW = {"r": (1.0, 1e3), "c": (1e-7, 1e-3), "q": (1e-7, 1e-3), "l": (1e-8, 1e-6), "aw": (1.0, 300.0),
        "z0": (10.0, 500.0), "tau": (0.1, 10.0)}
# the step at the end of a fit that computes the residuals, standard errors and statistics
FINAL_STEP = "kelvara::build_outcome("
FIT_CALL = "kelvara::py::circuit_fit("
# the first read of FitResult.flags: the noise estimate and every rule
FLAGS_CALL = "kelvara::py::diagnose_fit_result("


def spectra(per_topology: int, seed: int = 7) -> list[tuple[str, np.ndarray]]:
    rng = np.random.default_rng(seed)
    out = []
    for name in kelvara.Circuit.ml_circuits():
        circuit = kelvara.Circuit(name)
        for _ in range(per_topology):
            values = [rng.uniform(0.7, 1.0) if n.endswith("alpha")
                      else 10 ** rng.uniform(*np.log10(DRAW[n.split(".")[1]])) for n in circuit.param_names()]
            z = circuit.with_values(values).impedance(F)
            z = z + 0.005 * np.abs(z) * (rng.standard_normal(F.size) + 1j * rng.standard_normal(F.size))
            out.append((name, z))
    return out


def workload(per_topology: int) -> None:
    """The fits counted under callgrind."""
    for name, z in spectra(per_topology):
        kelvara.Circuit(name).fit(F, z).flags


def inclusive_counts(profile: str) -> dict[str, int]:
    report = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", profile],
                            capture_output=True, text=True, check=True).stdout
    counts: dict[str, int] = {}
    for line in report.splitlines():
        match = re.match(r"\s*([\d,]+)\s+\(\s*[\d.]+%\)\s+\S*?:(.*)", line)
        if match:
            for key in (FINAL_STEP, FIT_CALL, FLAGS_CALL):
                if key in match.group(2):
                    counts[key] = max(counts.get(key, 0), int(match.group(1).replace(",", "")))
    return counts


def statistics_share(per_topology: int) -> None:
    if not (shutil.which("valgrind") and shutil.which("callgrind_annotate")):
        print("(a) statistics: skipped (valgrind is not installed)")
        return
    with tempfile.TemporaryDirectory() as folder:
        profile = os.path.join(folder, "callgrind.out")
        code = f"import sys; sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r}); " \
               f"import bench_statistics; bench_statistics.workload({per_topology})"
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={profile}", sys.executable, "-c", code],
                       check=True, capture_output=True, env=os.environ.copy())
        counts = inclusive_counts(profile)
    if len(counts) < 3:
        print(f"(a) statistics: the profile lacks {FINAL_STEP!r}, {FIT_CALL!r} or {FLAGS_CALL!r} "
              f"(a build without symbols?)")
        return
    final, fit, flags = counts[FINAL_STEP], counts[FIT_CALL], counts[FLAGS_CALL]
    print(f"(a) statistics, {per_topology * 11} default fits under callgrind: final step {final:,} of {fit:,} "
          f"instructions = {100 * final / fit:.2f} % of the fit (target < 5 %); flags {flags:,} instructions "
          f"= {100 * flags / fit:.2f} % of the fit")


def flags_share(per_topology: int) -> None:
    work = spectra(per_topology, seed=11)
    fit_times, flag_times, own_times = [], [], []
    kelvara.Circuit("rc").fit(F, work[0][1]).flags  # imports and weight files outside the timing
    for name, z in work:
        t0 = time.perf_counter()
        result = kelvara.Circuit(name).fit(F, z)
        t1 = time.perf_counter()
        result.flags
        t2 = time.perf_counter()
        diagnose(result, 0.005)
        t3 = time.perf_counter()
        fit_times.append(t1 - t0)
        flag_times.append(t2 - t1)
        own_times.append(t3 - t2)
    fit, flags, own = (float(np.median(t)) for t in (fit_times, flag_times, own_times))
    print(f"(b) flags, {len(work)} default fits: fit median {1e3 * fit:.2f} ms; first .flags {1e3 * flags:.3f} ms "
          f"= {100 * flags / fit:.1f} % of the fit (target < 5 %), of which the flags' own work (noise given) "
          f"{1e3 * own:.3f} ms = {100 * own / fit:.1f} %; over the whole workload the flags take "
          f"{100 * sum(flag_times) / sum(fit_times):.1f} % of the fits' time")


def main() -> None:
    quick = "--quick" in sys.argv
    statistics_share(1 if quick else 2)
    flags_share(2 if quick else 10)


if __name__ == "__main__":
    main()
