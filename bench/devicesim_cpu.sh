#!/usr/bin/env bash
# CPU use of one qr-devicesim process serving N simultaneous clients.
#
#   bench/devicesim_cpu.sh BUILD_DIR [CLIENTS...]     e.g. build/rel 1 16
#
# Clients are `ffmpeg -rtsp_transport tcp -i URL -c copy -f null -` (no
# decoding, so the clients' own load on the machine stays small). The device
# serves 1280x720 at 25 fps, H.264, PCMA audio. CPU is utime + stime of the
# simulator from /proc/PID/stat over a 10 s window after a 3 s warm-up,
# printed as percent of one core.
set -euo pipefail
build=${1:?build directory}
shift
counts=("${@:-1 16}")
[ $# -eq 0 ] && counts=(1 16)
port=$((20000 + RANDOM % 20000))
hz=$(getconf CLK_TCK)

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

for n in "${counts[@]}"; do
  "$build/bin/qr-devicesim" --port "$port" --size 1280x720 --fps 25 >/dev/null 2>&1 &
  sim=$!
  sleep 1
  pids=()
  for _ in $(seq "$n"); do
    ffmpeg -nostdin -v quiet -rtsp_transport tcp -i "rtsp://127.0.0.1:$port/1" -c copy -f null - &
    pids+=($!)
  done
  sleep 3
  t0=$(ticks "$sim")
  sleep 10
  t1=$(ticks "$sim")
  frames_ok=1
  for p in "${pids[@]}"; do kill -0 "$p" 2>/dev/null || frames_ok=0; done
  kill "${pids[@]}" 2>/dev/null || true
  wait "${pids[@]}" 2>/dev/null || true
  kill "$sim"
  wait "$sim" 2>/dev/null || true
  awk -v n="$n" -v d="$((t1 - t0))" -v hz="$hz" -v ok="$frames_ok" \
    'BEGIN { printf "%2d clients: %.1f %% of one core%s\n", n, 100 * d / hz / 10, ok ? "" : " (a client ended early)" }'
  port=$((port + 2))
done
