"""Writes examples/data/randles_eis.csv: a Randles-circuit spectrum with
1% noise, in battery-data-format columns. Re-run to regenerate it exactly."""

import csv
from pathlib import Path

import numpy as np

import kelvara

TRUE_VALUES = {"R0.r": 0.05, "R1.r": 0.8, "W1.aw": 0.25, "CPE1.q": 2e-3, "CPE1.alpha": 0.88}


def main() -> None:
    circuit = kelvara.Circuit("R0-(R1-W1,CPE1)").with_named_values(TRUE_VALUES)
    frequencies = np.logspace(5, -2, 57)  # 8 points per decade, high to low as instruments sweep
    rng = np.random.default_rng(20261207)
    z = circuit.impedance(frequencies)
    noisy = z * (1 + 0.01 * (rng.standard_normal(z.size) + 1j * rng.standard_normal(z.size)) / np.sqrt(2))
    path = Path(__file__).parent / "data" / "randles_eis.csv"
    path.parent.mkdir(exist_ok=True)
    with path.open("w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(["Frequency / Hz", "Real Impedance / ohm", "Imaginary Impedance / ohm"])
        for f, value in zip(frequencies, noisy):
            writer.writerow([repr(float(f)), repr(float(value.real)), repr(float(value.imag))])
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
