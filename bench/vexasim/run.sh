#!/usr/bin/env bash
# Stream simulator send rate on loopback: 1024 x 768 Int16 samples (179 frames,
# 1.58 MB each) sent to a plain recvmmsg sink started in the same run. Prints
# one table row per run: what the simulator reports, and what fraction of its
# frames the sink received. Usage: BUILD_DIR=<release build> bench/vexasim/run.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
build_dir="${BUILD_DIR:-build-bench}"
sim="$build_dir/vexasim/vexatoolsVexaSim"
sink="$build_dir/bench/vexasim/vexasimBenchSink"
for program in "$sim" "$sink"; do
  [ -x "$program" ] || { echo "missing $program: build $build_dir first (bench/run.sh does)" >&2; exit 1; }
done

work="$(mktemp -d)"
sink_pid=""
cleanup() {
  if [ -n "$sink_pid" ]; then kill "$sink_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# run LABEL RCVBUF_REQUEST SAMPLES RATE: one simulator run against a fresh sink.
run() {
  local label="$1" rcvbuf="$2" samples="$3" rate="$4"
  rm -f "$work/port"
  "$sink" "$work/port" 1 "$rcvbuf" >"$work/sink" &
  sink_pid=$!
  for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
  local report
  report="$("$sim" -p "$(cat "$work/port")" -w 1024 -e 768 -t Int16 -s "$samples" -r "$rate" | tail -n 1)"
  wait "$sink_pid"
  sink_pid=""
  # "Sent N samples, F frames, B bytes in T s: R samples/s, FPS frames/s, G Gbit/s"
  read -r frames achieved fps gbps < <(sed -E 's/.* ([0-9]+) frames, .*: ([0-9.]+) samples\/s, ([0-9]+) frames\/s, ([0-9.]+) Gbit\/s.*/\1 \2 \3 \4/' <<<"$report")
  local received granted
  received="$(sed -E 's/.*datagrams=([0-9]+).*/\1/' "$work/sink")"
  granted="$(sed -E 's/.*rcvbuf=([0-9]+).*/\1/' "$work/sink")"
  printf "| %-26s | %7s | %8s | %10s | %10s | %8s | %9s | %8.2f%% |\n" "$label" "$samples" "$rate" "$achieved" \
    "$fps" "$gbps" "$granted" "$(awk -v r="$received" -v f="$frames" 'BEGIN { print (f > 0 ? 100 * r / f : 0) }')"
}

echo "vexatoolsVexaSim on loopback, 1024 x 768 Int16 (179 frames of up to 8972 bytes per sample)"
echo "rate 0 = as fast as possible; rcvbuf = the sink's socket receive buffer in force (bytes)"
echo
printf "| %-26s | %7s | %8s | %10s | %10s | %8s | %9s | %9s |\n" run samples "rate/s" "samples/s" "frames/s" "Gbit/s" \
  rcvbuf received
printf "|%s|%s|%s|%s|%s|%s|%s|%s|\n" "$(printf -- '-%.0s' {1..28})" "---------" "----------" "------------" \
  "------------" "----------" "-----------" "-----------"
for i in 1 2 3; do run "max rate #$i" 67108864 1000 0; done
run "max rate, default rcvbuf" 0 1000 0
run "paced 100/s" 67108864 300 100
run "paced 500/s" 67108864 1000 500
run "paced 750/s" 67108864 1000 750
echo
echo "net.core.rmem_max = $(cat /proc/sys/net/core/rmem_max) caps the sink's 64 MiB request (the kernel reports twice"
echo "the capped value); 'default rcvbuf' leaves net.core.rmem_default = $(cat /proc/sys/net/core/rmem_default)."
