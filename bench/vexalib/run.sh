#!/usr/bin/env bash
# Lossless sample rate and CPU per datagram of a VexaReceiver subclass beside
# bare recvfrom and recvmmsg receivers. BUILD_DIR: a Release build tree (set by
# bench/run.sh); without it a Release build is made in build-vexalib-bench.
# Arguments go to the benchmark (--width W --height H --seconds N --start-rate R
# --rounds N --repeats N); without them it runs 1024 x 768, 256 x 256 and 4096 x 4096.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build_dir="${BUILD_DIR:-}"
if [ -z "$build_dir" ]; then
  build_dir="$root/build-vexalib-bench"
  cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build_dir" --target vexalibReceiverBench >/dev/null
fi
# Without arguments: the three geometries, 1024 x 768 first.
if [ $# -gt 0 ]; then
  exec "$build_dir/bench/vexalib/vexalibReceiverBench" "$@"
fi
for geometry in "1024 768" "256 256" "4096 4096"; do
  read -r width height <<<"$geometry"
  "$build_dir/bench/vexalib/vexalibReceiverBench" --width "$width" --height "$height" --seconds 5 2>/dev/null
  echo
done
