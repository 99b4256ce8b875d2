#!/usr/bin/env bash
# Builds the fuzz harnesses in fuzz/ and runs each for a while, failing on
# any finding (crash, sanitizer report, invariant violation, unexpected
# Python exception, or one input running longer than the per-input limit).
#
#   ./scripts/fuzz.sh          # 60 seconds per harness
#   ./scripts/fuzz.sh 600      # ten minutes per harness
#   FUZZ_RUNS=10000000 nice -n 19 ./scripts/fuzz.sh   # a long run: that many inputs per harness, no time limit
#
# Installs clang and its runtime libraries from Debian's packages when
# missing, and atheris into the repository's .venv. New corpus entries go to
# build/fuzz/work/<harness>/ (the seeds in fuzz/corpus/ are only read);
# reproducers of findings go to build/fuzz/findings/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
# shellcheck source=system_packages.sh
. "$root/scripts/system_packages.sh"
seconds="${1:-60}"
python="${PYTHON:-python3}"
venv="${VENV:-$root/.venv}"
build="$root/build/fuzz"

need=()
command -v clang++ >/dev/null || need+=(clang)
command -v cmake >/dev/null || need+=(cmake)
if command -v clang++ >/dev/null; then
  [ -e "$(clang++ -print-runtime-dir)/libclang_rt.fuzzer_no_main-$(uname -m).a" ] || need+=(libclang-rt-dev)
else
  need+=(libclang-rt-dev)
fi
install_debian_packages ${need[@]+"${need[@]}"}

[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -c "import atheris, numpy, pandas" 2>/dev/null ||
  "$venv/bin/python" -m pip install -q atheris numpy pandas

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVARA_FUZZ=ON \
  -DKELVARA_PYTHON=ON -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
cmake --build "$build" -j "$(nproc)"

mkdir -p "$build/findings"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
if [ -n "${FUZZ_RUNS:-}" ]; then
  limit=(-runs="$FUZZ_RUNS")
  seconds="$FUZZ_RUNS inputs"
else
  limit=(-max_total_time="$seconds")
  seconds="${seconds}s"
fi
common=("${limit[@]}" -timeout=25 -rss_limit_mb=4096 -print_final_stats=1)

status=0
run() {  # name, command...
  local name="$1"
  shift
  echo "== $name: $seconds"
  mkdir -p "$build/work/$name"
  local seeds="$root/fuzz/corpus/$name"
  [ -d "$seeds" ] || seeds="$build/seeds/$name"
  if ! "$@" "${common[@]}" -artifact_prefix="$build/findings/$name-" "$build/work/$name" \
      "$seeds" >"$build/work/$name.log" 2>&1; then
    echo "FINDING in $name (log: $build/work/$name.log):"
    grep -E "ERROR|SUMMARY|Error|invariant|Test unit written" "$build/work/$name.log" | head -20
    status=1
  fi
  grep -E "^stat::number_of_executed_units|^Done" "$build/work/$name.log" || true
}

leak_free_libfuzzer=(env ASAN_OPTIONS="detect_leaks=1:abort_on_error=1")
run parser_fuzzer "${leak_free_libfuzzer[@]}" "$build/fuzz/parser_fuzzer" -dict="$root/fuzz/parser_fuzzer.dict" \
  -max_len=4096
run weights_fuzzer "${leak_free_libfuzzer[@]}" "$build/fuzz/weights_fuzzer" -dict="$root/fuzz/weights_fuzzer.dict" \
  -max_len=8192

# The module runs in an interpreter that is not instrumented: libFuzzer and the
# sanitizer runtime are preloaded (libFuzzer first, so that its coverage
# hooks win over the runtime's empty defaults), and Python's own allocator is
# bypassed so that AddressSanitizer sees every object.
asan_runtime="$(clang++ -print-file-name=libclang_rt.asan-$(uname -m).so)"
run measured_input_fuzzer env LD_PRELOAD="$build/fuzz/libfuzzer_no_main.so:$asan_runtime" \
  ASAN_OPTIONS="detect_leaks=0:verify_asan_link_order=0:abort_on_error=1" PYTHONMALLOC=malloc \
  PYTHONPATH="$build" "$venv/bin/python" "$root/fuzz/measured_input_fuzzer.py" -max_len=1024

# The readers' seeds are the sample exports of tests/data, made at run time.
"$venv/bin/python" "$root/fuzz/reader_fuzzer.py" --make-seeds "$build/seeds/reader_fuzzer"
run reader_fuzzer env LD_PRELOAD="$build/fuzz/libfuzzer_no_main.so:$asan_runtime" \
  ASAN_OPTIONS="detect_leaks=0:verify_asan_link_order=0:abort_on_error=1" PYTHONMALLOC=malloc \
  PYTHONPATH="$build" "$venv/bin/python" "$root/fuzz/reader_fuzzer.py" -max_len=65536

exit $status
