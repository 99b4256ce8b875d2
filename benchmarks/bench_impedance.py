"""Circuit.impedance() against a NumPy implementation of the same formulas.

    python benchmarks/bench_impedance.py

Prints, per circuit and size, the time per call of both and their ratio
(all measured in this run), then the peak memory of a 1,000,000-frequency
call. Targets on a 2-core machine: >= 10x at 50 frequencies, >= 1.5x at
1,000,000; peak memory no more than the converted input and the output.
"""

from __future__ import annotations

import subprocess
import sys
import timeit

import numpy as np

import kelvara

TWO_PI = 6.283185307179586


def numpy_randles(f, r0, r1, aw, q, alpha):
    w = TWO_PI * f
    z_w = aw * (1 - 1j) / np.sqrt(w)
    z_cpe = 1 / (q * (1j * w) ** alpha)
    return r0 + 1 / (1 / (r1 + z_w) + 1 / z_cpe)


def numpy_sei(f, r0, r1, q1, a1, r2, aw, q2, a2):
    w = TWO_PI * f
    z_q1 = 1 / (q1 * (1j * w) ** a1)
    z_q2 = 1 / (q2 * (1j * w) ** a2)
    z_w = aw * (1 - 1j) / np.sqrt(w)
    return r0 + 1 / (1 / r1 + 1 / z_q1) + 1 / (1 / (r2 + z_w) + 1 / z_q2)


CASES = [
    ("R0-(R1-W1,CPE1)", numpy_randles, [0.1, 2.0, 0.5, 1e-4, 0.85]),
    ("R0-(R1,CPE1)-(R2-W2,CPE2)", numpy_sei, [0.05, 0.3, 1e-5, 0.9, 1.5, 0.4, 1e-3, 0.8]),
]


def per_call(fn, budget=0.4):
    number, elapsed = 1, 0.0
    while elapsed < budget / 5:
        number *= 2
        elapsed = timeit.timeit(fn, number=number)
    return min(timeit.repeat(fn, number=number, repeat=5)) / number


def peak_memory_report() -> str:
    # The peak resident size is reset (Linux: "5" > /proc/self/clear_refs) after
    # the input exists, so the growth is what the call itself needed at its peak.
    code = """
import numpy as np, kelvara

def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1])

c = kelvara.Circuit("R0-(R1-W1,CPE1)").with_values([0.1, 2.0, 0.5, 1e-4, 0.85])
f = np.logspace(-2, 6, 1_000_000)
c.impedance(f[:10])
with open("/proc/self/clear_refs", "w") as handle:
    handle.write("5")
before = status("VmRSS:")
z = c.impedance(f)
print((status("VmHWM:") - before) / 1024)
"""
    grown = float(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout)
    output = 16 * 1_000_000 / 2**20
    return (
        f"peak memory growth for 1,000,000 frequencies: {grown:.1f} MiB "
        f"(the output array alone is {output:.1f} MiB; float64 input is read in place)"
    )


def main() -> None:
    print(f"{'circuit':28} {'n':>9} {'kelvara':>11} {'numpy':>11} {'ratio':>7}")
    for notation, model, values in CASES:
        circuit = kelvara.Circuit(notation).with_values(values)
        for n in (50, 1000, 1_000_000):
            f = np.logspace(-2, 6, n)
            reference = model(f, *values)
            assert np.allclose(circuit.impedance(f), reference, rtol=1e-12, atol=0)
            ours = theirs = float("inf")
            for _ in range(3):  # interleaved, so that a busy moment hits both
                ours = min(ours, per_call(lambda: circuit.impedance(f)))
                theirs = min(theirs, per_call(lambda: model(f, *values)))
            print(f"{notation:28} {n:>9} {ours * 1e6:9.1f}us {theirs * 1e6:9.1f}us {theirs / ours:6.1f}x")
    print(peak_memory_report())


if __name__ == "__main__":
    main()
