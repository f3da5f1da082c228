#!/usr/bin/env bash
# Recording benchmark: the sustained rate at which vexatoolsRecord's writer
# stores 1024x768 Int16 images (each compression), beside dd writing the same
# bytes with O_DIRECT to the same disk (the physical limit), in one run,
# rounds interleaved. Each rate includes closing the file and syncing it to
# the disk. Prints medians with min..max and the ratios to dd.
# Then vexatoolsRecord end to end, fed over LUMO at 0.8x dd's median rate
# for long enough to fill its queue many times over.
# Usage: BUILD_DIR=<release build> bench/record/run.sh [IMAGES per trial, 1000] [ROUNDS, 3] [END-TO-END IMAGES, 2000]
# (1000 images are 1.6 GB, a sustained run rather than a burst; the final
# sync is timed, so the page cache cannot flatter a rate.)
set -euo pipefail
build_dir="${BUILD_DIR:-$(cd "$(dirname "$0")/../.." && pwd)/build-bench}"
bench="$build_dir/bench/record/recordBench"
images="${1:-1000}"
rounds="${2:-3}"
e2e_images="${3:-2000}"
work="$(mktemp -d "$build_dir/record-bench.XXXXXX")"  # on the build's disk
trap 'rm -rf "$work"' EXIT
image_bytes=1572864

modes=(dd none lz4 bitshuffle-lz4 deflate)
declare -A rates ratios failures
for mode in "${modes[@]}"; do rates[$mode]=""; ratios[$mode]=""; failures[$mode]=""; done

# Ahead of other work on the machine where allowed (as root), so that the
# side-by-side figures measure the disk rather than the neighbours.
nice=()
if nice -n -10 true 2>/dev/null; then nice=(nice -n -10); fi
run() { "${nice[@]}" "$@"; }

trial() {  # prints "MB/s stored-bytes", or nothing when the mode is unavailable
  local mode=$1 file="$work/trial.h5"
  rm -f "$file"
  if [ "$mode" = dd ]; then
    local start end
    start=$(date +%s.%N)
    run dd if=/dev/zero of="$work/trial.dd" bs=$image_bytes count="$images" oflag=direct status=none
    end=$(date +%s.%N)
    rm -f "$work/trial.dd"
    awk -v b=$((image_bytes * images)) -v s="$start" -v e="$end" 'BEGIN { printf "%.1f %d\n", b / (e - s) / 1e6, b }'
  else
    run "$bench" "$file" "$mode" "$images" 2>"$work/error" | awk '{ print $1, $3 }' || true
  fi
}

for _ in $(seq "$rounds"); do
  for mode in "${modes[@]}"; do
    rm -f "$work/error"
    result="$(trial "$mode")"
    if [ -z "$result" ]; then
      failures[$mode]="$(head -1 "$work/error" 2>/dev/null)"
      continue
    fi
    rates[$mode]+="${result%% *} "
    ratios[$mode]+="$(awk -v b=$((image_bytes * images)) -v s="${result##* }" 'BEGIN { printf "%.2f", b / s }') "
  done
done

median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }'; }
spread() { tr ' ' '\n' | grep . | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { if (NR) printf "%s..%s", lo, hi }'; }
dd_median="$(echo "${rates[dd]}" | median)"
echo "Recording 1024x768 Int16 images, $images per trial, $rounds rounds, to $(df --output=source "$work" | tail -1)"
printf "%-16s %10s %18s %10s %12s\n" mode "MB/s" "min..max" "x dd" "size ratio"
for mode in "${modes[@]}"; do
  if [ -z "${rates[$mode]}" ]; then
    printf "%-16s %s\n" "$mode" "not measured: ${failures[$mode]}"
    continue
  fi
  m="$(echo "${rates[$mode]}" | median)"
  printf "%-16s %10s %18s %10s %12s\n" "$mode" "$m" "$(echo "${rates[$mode]}" | spread)" \
    "$(awk -v a="$m" -v b="$dd_median" 'BEGIN { printf "%.2f", a / b }')" "$(echo "${ratios[$mode]}" | median)"
done

# End to end: vexatoolsRecord fed over LUMO at 0.8x dd's median rate, without compression.
recorder="$build_dir/record/vexatoolsRecord"
broker="$build_dir/platform/lumo/broker/lumoBroker"
rate="$(awk -v r="$dd_median" -v b=$image_bytes 'BEGIN { printf "%.0f", 0.8 * r * 1e6 / b }')"
"$broker" --uri 'tcp://127.0.0.1:*' --log-level WARN >"$work/broker" &
broker_pid=$!
trap 'kill "$broker_pid" 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do grep -q listening "$work/broker" && break; sleep 0.05; done
uri="$(sed -n 's/^lumoBroker listening on \([^ ]*\).*/\1/p' "$work/broker")"
seconds=$(( e2e_images / rate + 10 ))
run "$recorder" -b "$uri" -s bench -o "$work/e2e.h5" --count "$e2e_images" --duration "$seconds" >"$work/summary" 2>/dev/null &
recorder_pid=$!
run "$bench" publish "$uri" bench "$rate" "$e2e_images" >/dev/null
wait "$recorder_pid" || true
echo
echo "End to end, $e2e_images images published at $rate images/s ($(awk -v r="$rate" -v b=$image_bytes 'BEGIN { printf "%.0f", r * b / 1e6 }') MB/s, 0.8x dd) to vexatoolsRecord --compress none:"
tail -1 "$work/summary"
