"""Impedance models written out in NumPy, the independent yardstick of the benchmarks
(frequencies in hertz): the tests' reference models, tests/reference_models.py."""

import sys
from pathlib import Path

_TESTS = str(Path(__file__).resolve().parent.parent / "tests")
if _TESTS not in sys.path:
    sys.path.insert(0, _TESTS)

from reference_models import *  # noqa: E402,F401,F403
from reference_models import TWO_PI, omega as angular  # noqa: E402,F401
