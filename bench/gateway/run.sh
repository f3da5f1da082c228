#!/usr/bin/env bash
# Highest lossless rate of 1024 x 768 Int16 samples through the outside
# receiver into HandleSampleUser and through the gateway to a subscriber,
# beside the reception library. BUILD_DIR: a Release build tree (set by
# bench/run.sh); without it a Release build is made in build-gateway-bench.
# Extra arguments go to the benchmark (--seconds N, --start-rate R, --rounds N, --repeats N).
# Then cpu.py prints the gateway example's CPU per image and idle CPU beside
# the publisher tool and the receiver tool (run it alone for its options).
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build_dir="${BUILD_DIR:-}"
if [ -z "$build_dir" ]; then
  build_dir="$root/build-gateway-bench"
  cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build_dir" --target gatewayBench vexa2lumoBenchProbe vexatoolsGatewayExample vexatoolsVexa2Lumo \
    vexatoolsVexaReceiver vexatoolsVexaSim lumoBroker >/dev/null
fi
"$build_dir/bench/gateway/gatewayBench" "$@"
echo
BUILD_DIR="$build_dir" python3 "$root/bench/gateway/cpu.py"
