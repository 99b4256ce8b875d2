"""The main job from Python: read an instrument file, fit, report, plot.

    python examples/main.py                          # the bundled Randles spectrum
    python examples/main.py my.DTA "R0-p(R1,CPE1)"    # any supported file, any circuit
"""

import sys
from pathlib import Path

import kelvara
from kelvara import io

path = sys.argv[1] if len(sys.argv) > 1 else Path(__file__).parent / "data" / "randles_eis.csv"
circuit = kelvara.Circuit(sys.argv[2] if len(sys.argv) > 2 else "randles")

spectrum = io.read(path)
result = circuit.fit(*spectrum)      # guesses its own start for the trained topologies
print(result.table())
print(result.message)
try:
    from kelvara import plot
except ImportError:
    pass
else:
    plot.fit_figure(*spectrum, result).savefig("fit.png", dpi=120)
