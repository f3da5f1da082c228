#!/usr/bin/env bash
# The main job on one machine: the stream simulator sends 1024 x 768 Int16
# samples over UDP to vexatoolsVexa2Lumo, which publishes every complete
# sample as an image on the LUMO stream "vexa_stream" registered at a
# lumoBroker; lumoSubscribe receives the images and saves them as PNG files.
#   IMAGES=10 RATE=50 INTERVAL=100 PORT=45678 OUT=/tmp/vexa-demo scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --parallel "$(nproc)" \
  --target vexatoolsVexa2Lumo vexatoolsVexaSim lumoBroker lumoSubscribe >/dev/null

images="${IMAGES:-10}"
rate="${RATE:-50}"
interval="${INTERVAL:-100}"
port="${PORT:-45678}"
out="${OUT:-/tmp/vexa-demo}"
geometry=(-w 1024 -e 768 -t Int16)
work="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The broker takes any free port and prints the endpoint it bound.
build/platform/lumo/broker/lumoBroker --uri 'tcp://127.0.0.1:*' --log-level WARN >"$work/broker.out" &
pids+=($!)
broker=""
for _ in $(seq 100); do
  broker="$(sed -n 's/^lumoBroker listening on \([^ ]*\).*/\1/p' "$work/broker.out")"
  [ -n "$broker" ] && break
  sleep 0.05
done
[ -n "$broker" ] || { echo "lumoBroker did not start" >&2; exit 1; }

echo "Publishing 1024 x 768 Int16 samples from udp://127.0.0.1:$port on LUMO stream vexa_stream at $broker," \
     "one image per $interval ms"
build/vexa2lumo/vexatoolsVexa2Lumo -p "$port" "${geometry[@]}" -k "$broker" -i "$interval" &
pids+=($!)

rm -rf "$out"
build/platform/lumo/subscribe/lumoSubscribe -b "$broker" -s vexa_stream -n "$images" -t 20 --save "$out" &
subscriber=$!
pids+=("$subscriber")
sleep 0.5  # the publisher binds its socket and registers

# The simulator streams until the subscriber has its images.
build/vexasim/vexatoolsVexaSim -p "$port" "${geometry[@]}" -s 0 -r "$rate" >/dev/null &
pids+=($!)

status=0
wait "$subscriber" || status=$?
if [ "$status" -eq 0 ]; then
  echo "Images saved as PNG files:"
  ls -1 "$out"/*.png
fi
exit "$status"
