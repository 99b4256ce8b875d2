"""Build a circuit from notation, show its parameters and evaluate its impedance.

    python examples/main.py                  # a Randles circuit
    python examples/main.py "R0-(R1,CPE1)"   # any notation or built-in model name
"""

import sys

import numpy as np

import kelvara


def main(argv: list[str]) -> int:
    notation = argv[1] if len(argv) > 1 else "R0-(R1-W1,CPE1)"
    try:
        circuit = kelvara.Circuit(notation)
    except ValueError as error:
        print(error, file=sys.stderr)
        return 2
    print(f"circuit {notation!r}")
    print(circuit)
    print()
    frequencies = np.logspace(5, -2, 8)
    impedances = circuit.impedance(frequencies)
    print(f"{'frequency / Hz':>16}  {'Re Z / ohm':>12}  {'Im Z / ohm':>12}")
    for f, z in zip(frequencies, impedances):
        print(f"{f:16.4g}  {z.real:12.6g}  {z.imag:12.6g}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
