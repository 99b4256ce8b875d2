#!/usr/bin/env bash
# Sets up kelvara in a virtual environment and runs its command line from the
# caller's directory, so relative paths work:
#   ./scripts/run.sh                                  # fit the bundled spectrum, write kelvara_fit.png
#   ./scripts/run.sh fit my.DTA --circuit randles --plot fit.png --json fit.json
#   ./scripts/run.sh check my.mpt
#   ./scripts/run.sh circuits
# The package is (re)installed only when its sources changed since the last run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
python="${PYTHON:-python3}"
venv="${VENV:-$root/.venv}"
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"

# A fingerprint of everything the installed package is built from.
stamp="$venv/.kelvara-source"
fingerprint="$(cd "$root" && find CMakeLists.txt pyproject.toml cmake src python models -type f -print0 \
  | sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)"
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$fingerprint" ] || ! "$venv/bin/python" -c "import kelvara" 2>/dev/null; then
  echo "installing kelvara into $venv ..." >&2
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q "$root[plot]"
  echo "$fingerprint" >"$stamp"
fi

if [ $# -eq 0 ]; then
  set -- fit "$root/examples/data/randles_eis.csv" --circuit randles --plot kelvara_fit.png
fi
exec "$venv/bin/python" -m kelvara "$@"
