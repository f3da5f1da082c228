#!/usr/bin/env bash
# The main job on a machine with nothing else: the stream simulator sends
# 1024 x 768 Int16 samples to 127.0.0.1, and vexatoolsVexaReceiver receives
# them and prints its execution report.
#   SAMPLES=200 RATE=100 PORT=45678 scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --parallel "$(nproc)" --target vexatoolsVexaReceiver vexatoolsVexaSim >/dev/null

samples="${SAMPLES:-100}"
rate="${RATE:-50}"
port="${PORT:-45678}"
geometry=(-w 1024 -e 768 -t Int16)

echo "Receiving $samples samples of 1024 x 768 Int16 on udp://127.0.0.1:$port, sent at $rate samples/s"
build/vexareceiver/vexatoolsVexaReceiver -p "$port" "${geometry[@]}" -s "$samples" -l INFO &
receiver=$!
sleep 0.5  # let the receiver bind its socket

# The simulator streams until the receiver has what it asked for.
build/vexasim/vexatoolsVexaSim -p "$port" "${geometry[@]}" -s 0 -r "$rate" &
simulator=$!
trap 'kill "$simulator" "$receiver" 2>/dev/null || true' EXIT

status=0
wait "$receiver" || status=$?
kill -INT "$simulator" 2>/dev/null || true
wait "$simulator" 2>/dev/null || true
trap - EXIT
exit "$status"
