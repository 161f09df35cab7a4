#!/usr/bin/env bash
# Runs the libFuzzer harnesses (built by scripts/build.sh --fuzz into
# build-asan/) under AddressSanitizer and UndefinedBehaviorSanitizer.
#   scripts/fuzz.sh                 every harness, 300 s each (as many at once as there are cores)
#   scripts/fuzz.sh NAME [SECONDS]  one harness (cert, wire, ...; "all" for every one)
# Each run starts from a copy of tests/fuzz/corpus/NAME in a temporary
# folder, so the repository is never written. An input that crashes is kept
# in build-asan/crashes/NAME/. Exits non-zero when any harness crashed.
set -euo pipefail
cd "$(dirname "$0")/.."

name=${1:-all}
seconds=${2:-300}
bin=build-asan/bin
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

# One harness: its summary line goes to $work/NAME/summary.
run_one() {
  local h=$1 exe=$bin/fuzz_$1
  mkdir -p "$work/$h"
  if [ ! -x "$exe" ] || [ ! -d "tests/fuzz/corpus/$h" ]; then
    echo "fuzz: no harness or corpus for '$h' (build with scripts/build.sh --asan)" >&2
    echo "fuzz_$h: MISSING" >"$work/$h/summary"
    return
  fi
  mkdir -p "$work/$h/corpus" "$work/$h/artifacts"
  cp -r "tests/fuzz/corpus/$h/." "$work/$h/corpus/"
  echo "== fuzz_$h for ${seconds} s =="
  local rc=0
  "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$work/$h/artifacts/" "$work/$h/corpus" >"$work/$h/log" 2>&1 || rc=$?
  local execs crashes
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$h/log" | tail -1)
  crashes=$(find "$work/$h/artifacts" -type f | wc -l)
  if [ $rc -ne 0 ] || [ "$crashes" -ne 0 ]; then
    mkdir -p "build-asan/crashes/$h"
    cp "$work/$h/artifacts/"* "build-asan/crashes/$h/" 2>/dev/null || true
    cp "$work/$h/log" "build-asan/crashes/$h/log"
    grep -E "ERROR|SUMMARY|property broken|runtime error" "$work/$h/log" | head -20 || true
    echo "fuzz_$h: ${execs:-?} executions, CRASH (exit $rc; input and log in build-asan/crashes/$h/)" >"$work/$h/summary"
  else
    echo "fuzz_$h: ${execs:-?} executions in ${seconds} s, 0 crashes" >"$work/$h/summary"
  fi
}

# As many harnesses at once as there are cores.
parallel=${VELMORA_FUZZ_JOBS:-$(nproc 2>/dev/null || echo 2)}
for h in "${harnesses[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n || true; done
  run_one "$h" &
done
wait

failed=0
echo "== fuzz summary =="
for h in "${harnesses[@]}"; do
  cat "$work/$h/summary"
  grep -q ", 0 crashes$" "$work/$h/summary" || failed=1
done
exit $failed
