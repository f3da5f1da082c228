#!/usr/bin/env bash
# Lossless sample rate and CPU per datagram of a VexaReceiver subclass beside
# bare recvfrom and recvmmsg receivers. BUILD_DIR: a Release build tree (set by
# bench/run.sh); without it a Release build is made in build-vexalib-bench.
# Extra arguments go to the benchmark (--seconds N, --start-rate R, --rounds N).
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build_dir="${BUILD_DIR:-}"
if [ -z "$build_dir" ]; then
  build_dir="$root/build-vexalib-bench"
  cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build_dir" --target vexalibReceiverBench >/dev/null
fi
"$build_dir/bench/vexalib/vexalibReceiverBench" "$@"
