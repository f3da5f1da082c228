#!/usr/bin/env bash
# The live view on a machine with nothing else: a broker, the lumoPublish
# test pattern (1024 x 768, 16-bit, 25 images/s) and vexatoolsViewer; prints
# the address to open and runs until Ctrl-C.
#   HTTP=127.0.0.1:8080 BROKER=tcp://127.0.0.1:5570 scripts/view.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --parallel "$(nproc)" --target lumoBroker lumoPublish vexatoolsViewer >/dev/null

http="${HTTP:-127.0.0.1:8080}"
broker="${BROKER:-tcp://127.0.0.1:5570}"
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; wait 2>/dev/null || true' EXIT INT TERM

build/platform/lumo/broker/lumoBroker --uri "$broker" >/dev/null &
pids+=($!)
sleep 0.3  # let the broker bind before the publisher registers
build/platform/lumo/publish/lumoPublish --broker-uri "$broker" --stream vexa_stream -w 1024 -e 768 --rate 25 >/dev/null &
pids+=($!)
build/viewer/vexatoolsViewer --broker-uri "$broker" --http "$http" --stream vexa_stream &
pids+=($!)
echo "Ctrl-C stops the viewer, the publisher and the broker."
wait "${pids[2]}"
