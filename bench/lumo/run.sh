#!/usr/bin/env bash
# LUMO benchmark: images/s and GB/s of 1024x768x2 images from WriteData to a
# LumoDataSubscriber beside raw ZeroMQ PUB->SUB in the same run, and the
# publisher's peak memory while a subscriber is stuck.
# Usage: BUILD_DIR=<release build> bench/lumo/run.sh [SECONDS per run, 2] [ROUNDS, 5]
set -euo pipefail
build_dir="${BUILD_DIR:-$(cd "$(dirname "$0")/../.." && pwd)/build-bench}"
broker="$build_dir/platform/lumo/broker/lumoBroker"
bench="$build_dir/bench/lumo/lumoBench"

out="$(mktemp)"
"$broker" --uri 'tcp://127.0.0.1:*' --log-level WARN >"$out" &
broker_pid=$!
trap 'kill "$broker_pid" 2>/dev/null; wait "$broker_pid" 2>/dev/null; rm -f "$out"' EXIT
for _ in $(seq 100); do grep -q listening "$out" && break; sleep 0.05; done
uri="$(sed -n 's/^lumoBroker listening on \([^ ]*\).*/\1/p' "$out")"
[ -n "$uri" ] || { echo "lumoBroker did not start" >&2; exit 1; }

# Ahead of other work on the machine where allowed (as root), so that the
# side-by-side figures measure the transports rather than the neighbours.
run() { nice -n -10 "$@" 2>/dev/null || "$@"; }

run "$bench" throughput "$uri" "${1:-2}" "${2:-5}"
echo
echo "Publisher memory while a subscriber process reads nothing (1024x768x2 images written back to back):"
echo
"$bench" stuck-header
for queue in 2 10 50; do run "$bench" stuck "$uri" "$queue" 1000; done
