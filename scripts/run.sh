#!/usr/bin/env bash
# The main job: install packages, build in Release and open the live viewer.
# Without --address the viewer starts the built-in simulated camera.
# Arguments go to the viewer (see: scripts/run.sh --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
BUILD=${QR_BUILD_DIR:-build/release}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQR_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j"$(nproc)"
if [ -x "$BUILD/bin/qr-view" ]; then
  if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "no display: running the viewer headless"
    export QT_QPA_PLATFORM=offscreen
    exec "$BUILD/bin/qr-view" --frames 100 --save-png "$BUILD/last-frame.png" "$@"
  fi
  exec "$BUILD/bin/qr-view" "$@"
fi
echo "built:"; ls "$BUILD/bin" "$BUILD/lib"
