#!/usr/bin/env bash
# Configures and builds the project.
#   scripts/build.sh            release build in build/
#   scripts/build.sh --asan     AddressSanitizer + UBSan build in build-asan/
#   scripts/build.sh --fuzz     the libFuzzer harnesses (clang, ASan + UBSan) in build-fuzz/
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
flags=()
targets=()
if [ "${1:-}" = "--asan" ]; then
  dir=build-asan
  flags+=(-DVELMORA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DVELMORA_BUILD_BENCH=OFF)
elif [ "${1:-}" = "--fuzz" ]; then
  dir=build-fuzz
  flags+=(-DVELMORA_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BUILD_BENCH=OFF
          -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
  # Only the harnesses and what they link, not the whole program.
  targets+=(--target fuzz_all)
fi
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$jobs" "${targets[@]}"
