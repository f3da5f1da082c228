#!/usr/bin/env bash
# Highest lossless rate of 1024 x 768 Int16 samples through the outside
# receiver into HandleSampleUser and through the gateway to a subscriber,
# beside the reception library. BUILD_DIR: a Release build tree (set by
# bench/run.sh); without it a Release build is made in build-gateway-bench.
# Extra arguments go to the benchmark (--seconds N, --start-rate R, --rounds N, --repeats N).
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build_dir="${BUILD_DIR:-}"
if [ -z "$build_dir" ]; then
  build_dir="$root/build-gateway-bench"
  cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build_dir" --target gatewayBench >/dev/null
fi
"$build_dir/bench/gateway/gatewayBench" "$@"
