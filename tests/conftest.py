import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import kelvara
from reference_models import TWO_PI, omega, parallel  # noqa: F401  (re-exported for the test files)

# Real instrument exports shipped with the tests (see data/README.md).
DATA = Path(__file__).resolve().parent / "data"

# Frequencies in hertz used by most formula checks: sub-millihertz to 100 kHz.
FREQS = [1e-3, 0.37, 1.0, 12.5, 1e3, 1e5]


def evaluate(circuit, values, freqs):
    """Impedance of `circuit` (notation text or Circuit) rebound to `values`."""
    if isinstance(circuit, str):
        circuit = kelvara.Circuit(circuit)
    if values is not None:
        circuit = circuit.with_values(values)
    return circuit.impedance(freqs)


@pytest.fixture
def rc():
    return kelvara.Circuit("R0-(R1,C1)")


@pytest.fixture
def sample_data():
    """The folder of real instrument exports."""
    return DATA


def first_line(exc_info):
    return str(exc_info.value).split("\n")[0]


def child_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        # the folder holding the package kelvara
        [os.path.dirname(os.path.dirname(os.path.abspath(kelvara.__file__))), env.get("PYTHONPATH", "")]
    )
    return env


def run_python(code):
    """Run `code` in a fresh interpreter that imports the same kelvara; a crash there
    fails one test instead of ending the whole run."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], env=child_env(), capture_output=True, text=True, timeout=60
    )


def start_python(code):
    """The same, running in the background: for tests that signal the child."""
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], env=child_env(),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def assert_ok(proc):
    assert proc.returncode == 0, f"exit status {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
