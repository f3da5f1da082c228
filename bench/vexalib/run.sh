#!/usr/bin/env bash
# Lossless sample rate and CPU per datagram of a VexaReceiver subclass beside
# bare recvfrom and recvmmsg receivers, then what the reception counters
# cost. BUILD_DIR: a Release build tree (set by bench/run.sh); without it a
# Release build is made in build-vexalib-bench.
# Arguments go to the benchmark (--width W --height H --seconds N --start-rate R
# --rounds N --repeats N); without them it runs 1024 x 768, 256 x 256 and
# 4096 x 4096, and the counters' cost; with the one argument "counters" only
# the latter. COUNTER_TRIALS (default 10) and COUNTER_SECONDS (default 4)
# size it.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build_dir="${BUILD_DIR:-}"
if [ -z "$build_dir" ]; then
  build_dir="$root/build-vexalib-bench"
  cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build_dir" --target vexalibReceiverBench >/dev/null
fi
bench="$build_dir/bench/vexalib/vexalibReceiverBench"
# Without arguments: the three geometries, 1024 x 768 first.
if [ $# -gt 0 ] && [ "$1" != counters ]; then
  exec "$bench" "$@"
fi
if [ $# -eq 0 ]; then
  for geometry in "1024 768" "256 256" "4096 4096"; do
    read -r width height <<<"$geometry"
    "$bench" --width "$width" --height "$height" --seconds 5 2>/dev/null
    echo
  done
fi

# The counters' cost: CPU per datagram of the library with and without its
# counters (the same library built with them compiled out), 1024 x 768 at
# one rate, in trials that alternate which goes first.
cmake --build "$build_dir" --target vexalibReceiverBenchWithoutCounters >/dev/null
without="$build_dir/bench/vexalib/vexalibReceiverBenchWithoutCounters"
trials="${COUNTER_TRIALS:-10}"
seconds="${COUNTER_SECONDS:-4}"
rate=200
cpu() { "$1" --only 0 --start-rate "$rate" --seconds "$seconds" 2>/dev/null | sed -n 's/.*, \([0-9.]*\) us CPU each.*/\1/p'; }
for trial in $(seq "$trials"); do
  if [ $((trial % 2)) -eq 1 ]; then
    with_counters=$(cpu "$bench"); without_counters=$(cpu "$without")
  else
    without_counters=$(cpu "$without"); with_counters=$(cpu "$bench")
  fi
  echo "$with_counters $without_counters"
done | awk -v trials="$trials" -v rate="$rate" -v seconds="$seconds" '
  function median(values, n,   sorted, i, j, t) {
    for (i = 1; i <= n; ++i) sorted[i] = values[i]
    for (i = 1; i <= n; ++i) for (j = i + 1; j <= n; ++j) if (sorted[j] < sorted[i]) { t = sorted[i]; sorted[i] = sorted[j]; sorted[j] = t }
    low = sorted[1]; high = sorted[n]
    return n % 2 ? sorted[(n + 1) / 2] : (sorted[n / 2] + sorted[n / 2 + 1]) / 2
  }
  { with[NR] = $1; without[NR] = $2; ratio[NR] = $1 / $2 }
  END {
    printf "Reception counters, 1024 x 768 Int16 at %d samples/s, %d interleaved pairs of %d s trials:\n", rate, trials, seconds
    m = median(with, NR); printf "  with counters:    %.3f us CPU per datagram (%.3f-%.3f)\n", m, low, high
    m = median(without, NR); printf "  without counters: %.3f us CPU per datagram (%.3f-%.3f)\n", m, low, high
    m = median(ratio, NR); printf "  with / without, paired: %.3f (%.3f-%.3f) (goal: within noise, at most 1.03)\n", m, low, high
  }'
