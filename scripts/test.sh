#!/usr/bin/env bash
# The test command: install packages, build everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, run the whole CTest suite.
# Extra arguments go to ctest (e.g. -L unit, -R Conduit).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
BUILD=${QR_BUILD_DIR:-build/asan}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQR_SANITIZE=address \
  -DQR_BUILD_BENCH=OFF >/dev/null
cmake --build "$BUILD" -j"$(nproc)"
cd "$BUILD"
ctest --output-on-failure -j"$(nproc)" "$@"
