"""Peak memory and time of one DRT of a long spectrum (a two-arc circuit over 7 decades,
0.1 % noise), each size in a fresh interpreter so that peaks do not carry over.

    python benchmarks/bench_drt_memory.py [--points 100000,500000]

Target: memory linear in the points with a small constant, under 900 MB at 5e5 points.
"""

from __future__ import annotations

import argparse
import subprocess
import sys

CHILD = """
import resource, sys, time, warnings
import numpy as np
import kelvara
warnings.simplefilter("ignore")
n = int(sys.argv[1])
f = np.logspace(6, -1, n)
z = kelvara.Circuit("R0-p(R1,CPE1)-p(R2,C2)").with_values([10, 100, 1e-5, 0.9, 50, 1e-2]).impedance(f)
z = z * (1 + 0.001 * np.random.default_rng(0).standard_normal(n))
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
t = time.perf_counter()
result = kelvara.drt(f, z)
took = time.perf_counter() - t
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(f"{n},{took:.2f},{before:.0f},{peak:.0f},{len(result.peaks)}")
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", default="100000,500000")
    args = parser.parse_args()
    print(f"{'points':>8}  {'time s':>7}  {'RSS before MB':>13}  {'peak RSS MB':>11}  {'bytes/point':>11}  peaks")
    for n in (int(x) for x in args.points.split(",")):
        out = subprocess.run([sys.executable, "-c", CHILD, str(n)], capture_output=True, text=True, check=True)
        points, took, before, peak, peaks = out.stdout.strip().split(",")
        per_point = (float(peak) - float(before)) * 2**20 / int(points)
        print(f"{int(points):>8}  {float(took):>7.2f}  {float(before):>13.0f}  {float(peak):>11.0f}  "
              f"{per_point:>11.0f}  {peaks}")


if __name__ == "__main__":
    main()
