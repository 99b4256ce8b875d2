#!/usr/bin/env bash
# Sets up kelvara in a virtual environment and runs the main job:
#   ./scripts/run.sh                     # the built-in demonstration
#   ./scripts/run.sh "R0-(R1,CPE1)"      # any circuit notation or model name
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
python="${PYTHON:-python3}"
venv="${VENV:-$root/.venv}"
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q "$root"
cd "$root/examples"
exec "$venv/bin/python" main.py "$@"
