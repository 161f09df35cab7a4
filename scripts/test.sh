#!/usr/bin/env bash
# Sets everything up and runs all tests: installs the packages, builds the
# release and the sanitizer build, and runs the whole suite in both; then
# builds the fuzz harnesses and runs each for a bounded time
# (VELMORA_FUZZ_SECONDS, 20 by default).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install.sh
bash scripts/build.sh
bash scripts/build.sh --asan

jobs=$(nproc 2>/dev/null || echo 2)
status=0
echo "== tests (release build) =="
ctest --test-dir build --output-on-failure -j "$jobs" || status=1
echo "== tests (address and undefined-behaviour sanitizers) =="
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" || status=1
echo "== fuzz harnesses (address and undefined-behaviour sanitizers) =="
if bash scripts/build.sh --fuzz; then
  bash scripts/fuzz.sh all "${VELMORA_FUZZ_SECONDS:-20}" || status=1
else
  echo "fuzz: the harnesses did not build" >&2
  status=1
fi
exit $status
