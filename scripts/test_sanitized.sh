#!/usr/bin/env bash
# The Python suite against an extension module built with AddressSanitizer and
# UndefinedBehaviorSanitizer (g++), with the libstdc++ assertions on as well.
#
# The interpreter is not instrumented, so the sanitizer runtimes are preloaded
# into it; leak checking is off, since CPython keeps much of what it allocates
# until the process ends. Every report halts the process that made it: the
# pytest process, or an interpreter that a test starts, which inherits this
# environment and finds the same module through PYTHONPATH. ASan reports from
# any process also go to files under the build directory, printed at the end,
# so that one in a child whose exit status a test ignores still fails the run.
# UBSan reports go to stderr only (beside ASan, g++'s UBSan runtime hands its
# report path to ASan's), and their abort fails the test whose process made them.
#
#   ./scripts/test_sanitized.sh                 # the whole suite
#   ./scripts/test_sanitized.sh -k guess        # extra arguments go to pytest
#   VENV=.venv-3.12 ./scripts/test_sanitized.sh
#
# Uses the virtual environment of ./scripts/test.sh (made here when missing)
# for NumPy, pytest and the other test dependencies; the module under test is
# never installed into it.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
python="${PYTHON:-python3}"
venv="${VENV:-$root/.venv}"
build="${BUILD_DIR:-$root/build/asan-py}"
cxx="${CXX:-g++}"
jobs="${JOBS:-$(nproc)}"

if ! "$venv/bin/python" -c "import numpy, pytest, scipy, pandas" >/dev/null 2>&1; then
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q ".[test]"
fi

# -O1 keeps the suite quick enough while leaving the reports' stacks readable.
CXX="$cxx" cmake -S "$root" -B "$build" -DKELVARA_SANITIZE=ON -DKELVARA_PYTHON=ON -DKELVARA_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
  -DCMAKE_CXX_FLAGS="-D_GLIBCXX_ASSERTIONS" -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
cmake --build "$build" -j "$jobs"

runtimes=""
for lib in libasan.so libubsan.so; do
  path="$("$cxx" -print-file-name="$lib")"
  [ -e "$path" ] || { echo "no $lib for $cxx" >&2; exit 1; }
  runtimes="$runtimes${runtimes:+ }$(readlink -f "$path")"
done

reports="$build/reports"
rm -rf "$reports"
mkdir -p "$reports"
# abort_on_error: the abort lets Python's fault handler print the Python stack as well.
# allocator_may_return_null: a huge request fails as it does without ASan (MemoryError).
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:allocator_may_return_null=1:check_initialization_order=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1"
# Python's objects from malloc, where ASan sees them, rather than from pymalloc's arenas.
export PYTHONMALLOC=malloc
export PYTHONFAULTHANDLER=1
export PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}"
export LD_PRELOAD="$runtimes"

cd "$root/tests"
"$venv/bin/python" - "$build" <<'EOF'
import os, sys, kelvara
if not os.path.abspath(kelvara.__file__).startswith(os.path.abspath(sys.argv[1]) + os.sep):
    sys.exit(f"kelvara is imported from {kelvara.__file__}, not from the sanitized build")
EOF
status=0
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" "$root/tests" || status=$?
unset LD_PRELOAD

if compgen -G "$reports/*" >/dev/null; then
  for report in "$reports"/*; do
    echo "==== sanitizer report ${report#"$root"/}" >&2
    cat "$report" >&2
  done
  echo "sanitizer reports above" >&2
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"
