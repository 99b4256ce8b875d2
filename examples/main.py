"""Fit an equivalent circuit to a measured impedance spectrum.

    python examples/main.py                               # the bundled Randles spectrum
    python examples/main.py my_spectrum.csv               # your data, Randles circuit
    python examples/main.py my_spectrum.csv "R0-(R1,CPE1)"  # any notation or model name

A CSV file either has battery-data-format headers ("Frequency / Hz",
"Real Impedance / ohm", "Imaginary Impedance / ohm", or the snake-case
names) or three unnamed columns: frequency, real part, imaginary part.
"""

from __future__ import annotations

import csv
import sys
from pathlib import Path

import kelvara

BUNDLED = Path(__file__).parent / "data" / "randles_eis.csv"
COLUMNS = ("Frequency / Hz", "Real Impedance / ohm", "Imaginary Impedance / ohm")


def read_spectrum(path: Path) -> dict[str, list[float]]:
    with path.open(newline="") as handle:
        rows = [row for row in csv.reader(handle) if row and not row[0].lstrip().startswith("#")]
    try:
        float(rows[0][0])
        header, body = list(COLUMNS), rows
    except ValueError:
        header, body = [name.strip() for name in rows[0]], rows[1:]
    columns: dict[str, list[float]] = {name: [] for name in header}
    for row in body:
        for name, cell in zip(header, row):
            columns[name].append(float(cell))
    return columns


def main(argv: list[str]) -> int:
    path = Path(argv[1]) if len(argv) > 1 else BUNDLED
    notation = argv[2] if len(argv) > 2 else "randles"
    try:
        spectrum = read_spectrum(path)
        circuit = kelvara.Circuit(notation)
        result = circuit.fit(spectrum)
    except (OSError, ValueError, IndexError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    print(f"spectrum: {path} ({len(next(iter(spectrum.values())))} points)")
    print(f"circuit:  {notation}")
    print()
    print(result)
    print()
    print(result.circuit)
    if result.stderr is not None:
        print()
        print("standard errors:")
        for name, error in result.stderr.items():
            print(f"  {name:12} {error:.3g}")
    return 0 if result.success else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
