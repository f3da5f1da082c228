#!/usr/bin/env bash
# Memory of lumoBroker and lumoSubscribe under hostile peers (lumoAttack):
# an unfinished multipart request to the broker, LIST requests whose replies
# are never read, and a publisher that sends a subscriber one huge message.
# Each attack runs against a fresh victim, from an allowed address and, when
# the broker has --allow, from a refused one (127.0.0.9, the broker allowing
# only 127.0.0.1). Prints one table row per attack: the victim's resident
# memory before, its peak, and what it kept after the attacker left.
# About 40 s in all.
#
# Usage: BUILD_DIR=<build> bench/lumo/soak.sh
#   LUMO_BIN=<dir> measures the lumoBroker and lumoSubscribe found there
#   (with their liblumo.so) instead of the build's.
set -euo pipefail
build_dir="${BUILD_DIR:-$(cd "$(dirname "$0")/../.." && pwd)/build-bench}"
attack="$build_dir/bench/lumo/lumoAttack"
broker="$build_dir/platform/lumo/broker/lumoBroker"
subscribe="$build_dir/platform/lumo/subscribe/lumoSubscribe"
if [ -n "${LUMO_BIN:-}" ]; then
  broker="$LUMO_BIN/lumoBroker" subscribe="$LUMO_BIN/lumoSubscribe"
  export LD_LIBRARY_PATH="$LUMO_BIN${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
fi
hold_ms=3000

work="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mib() { awk -v field="$2:" '$1 == field { printf "%.0f", $2 / 1024 }' "/proc/$1/status"; }

# Starts a broker with the given options; sets broker_pid and broker_uri.
start_broker() {
  "$broker" --uri 'tcp://127.0.0.1:*' --log-level OFF "$@" >"$work/broker.out" 2>/dev/null &
  broker_pid=$!
  pids+=("$broker_pid")
  for _ in $(seq 100); do grep -q listening "$work/broker.out" && break; sleep 0.05; done
  broker_uri="$(sed -n 's/^lumoBroker listening on \([^ ]*\).*/\1/p' "$work/broker.out")"
  [ -n "$broker_uri" ] || { echo "lumoBroker did not start" >&2; exit 1; }
}

stop() { kill "$1" 2>/dev/null || true; wait "$1" 2>/dev/null || true; }

# measure NAME VICTIM_PID ATTACK_ARGS...: runs the attack against the victim.
measure() {
  local name="$1" victim="$2"
  shift 2
  sleep 0.3
  local before
  before="$(mib "$victim" VmRSS)"
  local said
  said="$(timeout 60 "$attack" "$@" 2>&1 | head -n 1)" || true
  sleep 2  # the broker gives free heap pages back once a second
  printf '%-34s %8s %8s %8s   %s\n' "$name" "$before" "$(mib "$victim" VmHWM)" "$(mib "$victim" VmRSS)" "$said"
}

port_of() { echo "${1##*:}"; }
with_allow=false
"$broker" --help | grep -q -- '--allow' && with_allow=true

printf '%-34s %8s %8s %8s   %s\n' "attack (victim)" "RSS MiB" "peak" "after" "attacker"

start_broker
measure "D1 600 MB unfinished (broker)" "$broker_pid" unfinished "$broker_uri" 600 "$hold_ms"
stop "$broker_pid"
if $with_allow; then
  start_broker --allow 127.0.0.1/32
  measure "D1 same from a refused address" "$broker_pid" unfinished \
    "tcp://127.0.0.9:0;127.0.0.1:$(port_of "$broker_uri")" 600 "$hold_ms"
  stop "$broker_pid"
fi

start_broker --lease-ms 600000
measure "D2 3000 unread LISTs (broker)" "$broker_pid" list "$broker_uri" 3 3000 "$hold_ms"
stop "$broker_pid"

# D6: lumoSubscribe follows stream "soak"; the attacker registers it.
subscriber_attack() {
  local name="$1" bind_host="$2" control="$3"
  shift 3
  "$subscribe" --broker-uri "$broker_uri" --stream soak --timeout 0 --log-level OFF >/dev/null 2>&1 &
  local subscriber_pid=$!
  pids+=("$subscriber_pid")
  measure "$name" "$subscriber_pid" publisher "$control" "$bind_host" 16 64 "$hold_ms"
  stop "$subscriber_pid"
}
start_broker
subscriber_attack "D6 16 x 64 MiB frames (subscriber)" 127.0.0.1 "$broker_uri"
stop "$broker_pid"
if $with_allow; then
  start_broker --allow 127.0.0.1/32
  subscriber_attack "D6 same from a refused address" 127.0.0.9 "tcp://127.0.0.9:0;127.0.0.1:$(port_of "$broker_uri")"
  stop "$broker_pid"
fi
