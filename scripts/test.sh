#!/usr/bin/env bash
# Sets up everything the tests need and runs them all: the Python suite
# against the installed module, then the C++ unit tests through CTest.
#
#   ./scripts/test.sh            # Python 3 from PATH
#   PYTHON=python3.12 ./scripts/test.sh
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
# shellcheck source=system_packages.sh
. "$root/scripts/system_packages.sh"
python="${PYTHON:-python3}"
venv="${VENV:-$root/.venv}"

# Build tools and GoogleTest come from the system: cmake and g++ build the module
# and the C++ tests, libgtest-dev is GoogleTest for the C++ tests. Missing ones are
# installed from Debian's packages (as root), and the script says so first.
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
[ -e /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
# The app's browser tests drive Debian's chromium through chromedriver; installed
# when running as root, else those tests skip.
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  command -v chromium >/dev/null || need+=(chromium)
  command -v chromedriver >/dev/null || need+=(chromium-driver)
fi
if [ ${#need[@]} -gt 0 ]; then
  echo "installing Debian packages: ${need[*]} (cmake, g++: build tools; libgtest-dev: C++ unit tests;" \
    "chromium, chromium-driver: the app's browser tests)" >&2
fi
install_debian_packages ${need[@]+"${need[@]}"}

[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
# (Re)install only when the sources changed since the last install (as run.sh does).
stamp="$venv/.kelvara-test-source"
fingerprint="$(cd "$root" && find CMakeLists.txt pyproject.toml cmake src python models -type f \
  -not -path '*/__pycache__/*' -print0 | sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)"
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$fingerprint" ] || ! "$venv/bin/python" -c "import kelvara, pytest" 2>/dev/null; then
  echo "installing kelvara and its test dependencies into $venv ..." >&2
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q ".[test]"
  echo "$fingerprint" >"$stamp"
fi

# Run from outside the checkout so that the installed module is what is tested.
(cd "$root/tests" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests")
# The training pipeline's own checks (the parts that need PyTorch skip without it).
(cd "$root" && "$venv/bin/python" -m pytest -q -p no:cacheprovider training/tests)

cmake -S "$root" -B "$root/build/cpp-tests" -DKELVARA_PYTHON=OFF -DKELVARA_TESTS=ON >/dev/null
cmake --build "$root/build/cpp-tests" -j "$(nproc)"
ctest --test-dir "$root/build/cpp-tests" --output-on-failure
