#!/usr/bin/env bash
# Sets everything up and runs all tests: installs the packages, builds the
# test build (AddressSanitizer and UndefinedBehaviorSanitizer at -O1, with
# the libFuzzer harnesses) and runs the whole suite there; then runs each
# fuzz harness for a bounded time (VELMORA_FUZZ_SECONDS, 20 by default).
# The release build (scripts/build.sh) is for the program and the
# benchmarks; no test needs optimised code.
set -euo pipefail
cd "$(dirname "$0")/.."

start=$(date +%s)
bash scripts/install.sh
bash scripts/build.sh --asan
built=$(date +%s)

jobs=$(nproc 2>/dev/null || echo 2)
status=0
echo "== tests (address and undefined-behaviour sanitizers) =="
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" || status=1
tested=$(date +%s)
echo "== fuzz harnesses (address and undefined-behaviour sanitizers) =="
if [ -x build-asan/bin/fuzz_base64 ]; then
  bash scripts/fuzz.sh all "${VELMORA_FUZZ_SECONDS:-20}" || status=1
else
  echo "fuzz: the harnesses were not built (clang missing?)" >&2
  status=1
fi
end=$(date +%s)
echo "== times: install and build $((built - start)) s, tests $((tested - built)) s, fuzz $((end - tested)) s =="
exit $status
