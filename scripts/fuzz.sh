#!/usr/bin/env bash
# Runs the libFuzzer harnesses (built by scripts/build.sh --fuzz into
# build-fuzz/) under AddressSanitizer and UndefinedBehaviorSanitizer.
#   scripts/fuzz.sh                 every harness, 300 s each
#   scripts/fuzz.sh NAME [SECONDS]  one harness (cert, wire, ...; "all" for every one)
# Each run starts from a copy of tests/fuzz/corpus/NAME in a temporary
# folder, so the repository is never written. An input that crashes is kept
# in build-fuzz/crashes/NAME/. Exits non-zero when any harness crashed.
set -euo pipefail
cd "$(dirname "$0")/.."

name=${1:-all}
seconds=${2:-300}
bin=build-fuzz/bin
harnesses=()
if [ "$name" = all ]; then
  for f in tests/fuzz/fuzz_*.cpp; do
    n=$(basename "$f" .cpp)
    harnesses+=("${n#fuzz_}")
  done
else
  harnesses=("$name")
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/velmora-fuzz-XXXXXX")
trap 'rm -rf "$work"' EXIT

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:symbolize=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

failed=0
summary=()
for h in "${harnesses[@]}"; do
  exe=$bin/fuzz_$h
  if [ ! -x "$exe" ] || [ ! -d "tests/fuzz/corpus/$h" ]; then
    echo "fuzz: no harness or corpus for '$h' (build with scripts/build.sh --fuzz)" >&2
    summary+=("fuzz_$h: MISSING")
    failed=1
    continue
  fi
  mkdir -p "$work/$h/corpus" "$work/$h/artifacts"
  cp -r "tests/fuzz/corpus/$h/." "$work/$h/corpus/"
  echo "== fuzz_$h for ${seconds} s =="
  set +e
  "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$work/$h/artifacts/" "$work/$h/corpus" >"$work/$h/log" 2>&1
  rc=$?
  set -e
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$h/log" | tail -1)
  crashes=$(find "$work/$h/artifacts" -type f | wc -l)
  if [ $rc -ne 0 ] || [ "$crashes" -ne 0 ]; then
    failed=1
    mkdir -p "build-fuzz/crashes/$h"
    cp "$work/$h/artifacts/"* "build-fuzz/crashes/$h/" 2>/dev/null || true
    cp "$work/$h/log" "build-fuzz/crashes/$h/log"
    grep -E "ERROR|SUMMARY|property broken|runtime error" "$work/$h/log" | head -20 || true
    summary+=("fuzz_$h: ${execs:-?} executions, CRASH (exit $rc; input and log in build-fuzz/crashes/$h/)")
  else
    summary+=("fuzz_$h: ${execs:-?} executions in ${seconds} s, 0 crashes")
  fi
done

echo "== fuzz summary =="
printf '%s\n' "${summary[@]}"
exit $failed
