#!/usr/bin/env bash
# Configures and builds the project; ninja prints its progress.
#   scripts/build.sh          release build in build/ (the program, tools,
#                             tests and benchmarks)
#   scripts/build.sh --asan   the test build in build-asan/: AddressSanitizer
#                             and UndefinedBehaviorSanitizer at -O1, with the
#                             libFuzzer harnesses when clang is there (the
#                             test command runs everything from this build)
#   scripts/build.sh --fuzz   the same as --asan
# Further arguments go to the build (e.g. --target velmora).
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
flags=()
case "${1:-}" in
  --asan|--fuzz)
    shift
    dir=build-asan
    flags+=(-DVELMORA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-g -O1"
            "-DCMAKE_C_FLAGS_DEBUG=-g -O1" -DVELMORA_BUILD_BENCH=OFF)
    if command -v clang++ >/dev/null && command -v clang >/dev/null; then
      flags+=(-DVELMORA_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
    fi
    ;;
esac
jobs=$(nproc 2>/dev/null || echo 2)
# A folder configured with another compiler is configured afresh.
if [ -f "$dir/CMakeCache.txt" ] && [ -n "${flags[*]:-}" ] &&
   ! grep -q "CMAKE_CXX_COMPILER:.*clang++" "$dir/CMakeCache.txt" && command -v clang++ >/dev/null; then
  rm -rf "$dir"
fi
cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$jobs" "$@"
