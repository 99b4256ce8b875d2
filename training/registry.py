"""The built-in guessing networks (one per `Circuit.ml_circuits()` topology): circuits, outputs and scaling rows."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from .simulate import param_names

N_GRID = 64
KERNEL = 5
GROUPS = 8
DILATIONS = (1, 2, 4, 8)
ALPHA_MIN = 0.05
ALPHA_MAX = 1.0
ESTIMATOR = "reactive_centroid"

# (r_power, omega_power, alpha_omega_power) by parameter kind; the alpha index
# column is filled in per model.  A decoded value is v * R^a * w^(b + c*alpha).
_SCALING = {
    "r": (1.0, 0.0, 0.0),       # resistances, Wo z0
    "c": (-1.0, -1.0, 0.0),     # capacitance
    "l": (1.0, -1.0, 0.0),      # inductance
    "q": (-1.0, 0.0, -1.0),     # constant-phase coefficient
    "aw": (1.0, 0.5, 0.0),      # Warburg coefficient
    "tau": (0.0, -1.0, 0.0),    # time constant
    "alpha": (0.0, 0.0, 0.0),   # exponent (linear output)
}
_KIND_OF = {"r": "r", "z0": "r", "c": "c", "l": "l", "q": "q",
            "aw": "aw", "tau": "tau", "alpha": "alpha"}


@dataclass(frozen=True)
class Entry:
    name: str
    circuit: str
    channels: int

    @property
    def param_names(self):
        return param_names(self.circuit)

    @property
    def P(self):
        return len(self.param_names)

    @property
    def kinds(self):
        return [_KIND_OF[n.split(".", 1)[1]] for n in self.param_names]

    @property
    def log_params(self):
        return np.array([0.0 if k == "alpha" else 1.0 for k in self.kinds])

    @property
    def scaling(self):
        """(P, 4) rows: r_power, omega_power, alpha_omega_power, alpha_index."""
        names = self.param_names
        rows = []
        for n, k in zip(names, self.kinds):
            a, b, c = _SCALING[k]
            idx = -1
            if k == "q":
                idx = names.index(n.split(".")[0] + ".alpha")
            rows.append((a, b, c, float(idx)))
        return np.array(rows, dtype=np.float64)


# Registry order (matching priority of the runtime).
MODELS = [
    Entry("rc", "R0-(R1,C1)", 16),
    Entry("rc_l", "L0-R0-(R1,C1)", 32),
    Entry("rq", "R0-(R1,CPE1)", 32),
    Entry("rq_l", "L0-R0-(R1,CPE1)", 32),
    Entry("two_rc", "R0-(R1,C1)-(R2,C2)", 32),
    Entry("two_rc_l", "L0-R0-(R1,C1)-(R2,C2)", 32),
    Entry("two_rq", "R0-(R1,CPE1)-(R2,CPE2)", 32),
    Entry("two_rq_l", "L0-R0-(R1,CPE1)-(R2,CPE2)", 32),
    Entry("randles", "R0-(R1-W1,CPE1)", 32),
    Entry("sei_randles", "R0-(R1,CPE1)-(R2-W2,CPE2)", 64),
    Entry("sei_randles_wo", "R0-(R1,CPE1)-(R2-Wo2,CPE2)", 64),
]
BY_NAME = {m.name: m for m in MODELS}

# Order in which `train all` works through them (most used first).
TRAIN_ORDER = ["rq", "randles", "rc", "two_rq", "rc_l", "rq_l", "two_rc",
               "two_rc_l", "two_rq_l", "sei_randles", "sei_randles_wo"]


def header(entry: Entry):
    """Header entries of a weight file, in the order the runtime's files use."""
    return [
        ("circuit", entry.circuit),
        ("param_names", ",".join(entry.param_names)),
        ("estimator", ESTIMATOR),
        ("n_grid", str(N_GRID)),
        ("channels", str(entry.channels)),
        ("kernel", str(KERNEL)),
        ("groups", str(GROUPS)),
        ("dilations", ",".join(str(d) for d in DILATIONS)),
        ("alpha_min", repr(ALPHA_MIN)),
        ("alpha_max", repr(ALPHA_MAX)),
    ]
