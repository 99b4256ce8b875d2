"""Fits, standard errors, evaluation counts and Jacobians, bit for bit as
stored in stored_fits.json.

Speed work on evaluation and the Jacobian must not move a single bit of a
fit of the built-in topologies. The stored values were written by this file
(`python tests/test_stored_fits.py --write`) from a build known to be right;
rewrite them only for a change that is meant to move results.
Spectra are made with plain Python floats (no NumPy kernels whose rounding
may differ between versions).
"""

import hashlib
import json
import math
import struct
import sys
from pathlib import Path

import pytest

import kelvara

STORED = Path(__file__).with_name("stored_fits.json")
DATA = Path(__file__).resolve().parent / "data"

# notation, true values; every built-in topology, the battery circuit of the
# benchmarks, a nested group, and the closed-form elements Zarc and La.
TOPOLOGIES = [
    ("R0-(R1,C1)", [0.1, 2.0, 1e-4]),
    ("L0-R0-(R1,C1)", [2e-7, 0.1, 2.0, 1e-4]),
    ("R0-(R1,CPE1)", [0.1, 2.0, 1e-4, 0.85]),
    ("L0-R0-(R1,CPE1)", [2e-7, 0.1, 2.0, 1e-4, 0.85]),
    ("R0-(R1,C1)-(R2,C2)", [0.2, 1.0, 1e-5, 5.0, 1e-2]),
    ("L0-R0-(R1,C1)-(R2,C2)", [1e-6, 0.2, 1.0, 1e-5, 5.0, 1e-2]),
    ("R0-(R1,CPE1)-(R2,CPE2)", [0.2, 1.0, 1e-5, 0.9, 5.0, 1e-2, 0.7]),
    ("L0-R0-(R1,CPE1)-(R2,CPE2)", [1e-6, 0.2, 1.0, 1e-5, 0.9, 5.0, 1e-2, 0.7]),
    ("R0-(R1-W1,CPE1)", [0.1, 2.0, 0.5, 1e-4, 0.85]),
    ("R0-(R1,CPE1)-(R2-W2,CPE2)", [0.05, 0.3, 1e-5, 0.9, 1.5, 0.4, 1e-3, 0.8]),
    ("R0-(R1,CPE1)-(R2-Wo2,CPE2)", [0.05, 0.3, 1e-5, 0.9, 1.5, 0.8, 20.0, 1e-3, 0.8]),
    ("R0-(R1,C1)-(R2-Wo1,C2)", [0.02, 0.05, 5e-3, 0.2, 0.3, 50.0, 0.5]),
    ("R0-(R1-(R2,CPE2),C1)-W1", [0.1, 1.0, 3.0, 1e-3, 0.8, 1e-5, 0.3]),
    ("R0-Zarc1-Zarc2", [0.1, 1.0, 1e-4, 0.85, 2.0, 0.1, 0.7]),
    ("R0-La1-(R1,C1)", [0.1, 1e-5, 0.9, 2.0, 1e-4]),
]

# (points, noise, start factor, weight) per spectrum and start
SETTINGS = [(40, 0.01, 1.3, "modulus"), (25, 0.03, 0.5, "unit"), (40, 0.002, 3.0, "modulus")]


def frequencies(n):
    return [10.0 ** (5.0 - 7.0 * k / (n - 1)) for k in range(n)]


def spectrum(notation, true, n, noise):
    f = frequencies(n)
    z = kelvara.Circuit(notation).with_values(true).impedance(f).tolist()
    noisy = [complex(v.real * (1.0 + noise * math.sin(1.7 * k + 0.3)),
                     v.imag * (1.0 + noise * math.cos(2.3 * k + 0.1))) for k, v in enumerate(z)]
    return f, noisy


def start_values(circuit, true, factor):
    names = circuit.param_names()
    # exponents stay in (0, 1); everything else is scaled
    return [0.7 if name.endswith((".alpha", ".gamma")) else v * factor for name, v in zip(names, true)]


def digest(columns):
    raw = b"".join(struct.pack("<%dd" % len(c), *c) for c in columns)
    return hashlib.sha256(raw).hexdigest()


def hexes(values):
    return [float(v).hex() for v in values]


def outcome(circuit, f, z, start, weight, method="levenberg_marquardt"):
    options = {"seed": 7, "basin_hopping_hops": 5} if method != "levenberg_marquardt" else {}
    result = circuit.with_values(start).fit(f, z, weight=weight, method=method, **options)
    params = list(result.params.values())
    stderr = result.stderr
    return {
        "params": hexes(params),
        "stderr": None if stderr is None else hexes(stderr.values()),
        "cost": float(result.cost).hex(),
        "evaluations": result.impedance_evals,
        "iterations": result.iterations,
        "jacobian_at_start": digest(circuit.jacobian(start, f, z, weight=weight)),
        "jacobian_at_fit": digest(circuit.jacobian(params, f, z, weight=weight)),
    }


def cases():
    out = {}
    for notation, true in TOPOLOGIES:
        circuit = kelvara.Circuit(notation)
        for i, (n, noise, factor, weight) in enumerate(SETTINGS):
            f, z = spectrum(notation, true, n, noise)
            out[f"{notation} #{i}"] = lambda c=circuit, f=f, z=z, s=start_values(circuit, true, factor), w=weight: \
                outcome(c, f, z, s, w)
    for notation in ["R0-(R1,CPE1)-(R2,CPE2)", "R0-(R1,C1)-(R2-Wo1,C2)"]:
        true = dict(TOPOLOGIES)[notation]
        circuit = kelvara.Circuit(notation)
        f, z = spectrum(notation, true, 30, 0.02)
        out[f"{notation} basin_hopping"] = lambda c=circuit, f=f, z=z, s=start_values(circuit, true, 2.0): \
            outcome(c, f, z, s, "modulus", "basin_hopping")
    if (DATA / "exampleData.csv").is_file():
        rows = [line.split(",") for line in (DATA / "exampleData.csv").read_text().split()]
        f = [float(r[0]) for r in rows if float(r[2]) < 0]
        z = [complex(float(r[1]), float(r[2])) for r in rows if float(r[2]) < 0]
        for notation, start in [("R0-(R1,C1)-(R2-Wo1,C2)", [0.01, 0.01, 100.0, 0.01, 0.05, 100.0, 1.0]),
                                ("R0-(R1,CPE1)-(R2-Wo2,CPE2)", [0.01, 0.01, 1e-2, 0.8, 0.01, 0.05, 100.0, 1.0, 0.8])]:
            circuit = kelvara.Circuit(notation)
            for weight in ["unit", "modulus"]:
                out[f"exampleData.csv {notation} {weight}"] = \
                    lambda c=circuit, f=f, z=z, s=start, w=weight: outcome(c, f, z, s, w)
    return out


CASES = cases()
STORED_VALUES = json.loads(STORED.read_text()) if STORED.is_file() else {}


@pytest.mark.parametrize("name", sorted(CASES))
def test_fit_is_bit_identical_to_stored(name):
    if name not in STORED_VALUES:
        pytest.skip("no stored values for this case")
    assert CASES[name]() == STORED_VALUES[name]


if __name__ == "__main__" and sys.argv[1:] == ["--write"]:
    STORED.write_text(json.dumps({name: run() for name, run in sorted(CASES.items())}, indent=1) + "\n")
