#!/usr/bin/env bash
# Configures and builds the project.
#   scripts/build.sh            release build in build/
#   scripts/build.sh --asan     AddressSanitizer + UBSan build in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
flags=()
if [ "${1:-}" = "--asan" ]; then
  dir=build-asan
  flags+=(-DVELMORA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DVELMORA_BUILD_BENCH=OFF)
fi
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$jobs"
