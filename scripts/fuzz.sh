#!/usr/bin/env bash
# Builds the fuzz targets (clang 14, libFuzzer with ASan+UBSan, in
# build-fuzz/) and runs each for the given number of seconds (default 60),
# starting from its checked-in seeds in fuzz/corpus/ and its dictionary.
#   scripts/fuzz.sh [seconds] [target...]
# Runs as many targets at a time as there are cores (VEXA_FUZZ_JOBS=N
# overrides). Prints one line of figures per target and exits non-zero when
# any target finds a crash, a leak, a timeout or a failed check; the input
# that did it is kept in build-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
VEXA_FUZZ=1 scripts/install-deps.sh

seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzzVexaReceiver fuzzSorelPackets fuzzPublishingReceiver fuzzSampleAssembler
                                     fuzzLumoMessage fuzzBrokerControl)
declare -A dictionary=([fuzzVexaReceiver]=plexo [fuzzSorelPackets]=plexo [fuzzPublishingReceiver]=plexo
                       [fuzzSampleAssembler]=plexo [fuzzLumoMessage]=lumo [fuzzBrokerControl]=broker)

build=build-fuzz
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DVEXA_FUZZ=ON -DBUILD_TESTING=OFF -DCMAKE_UNITY_BUILD=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target "${targets[@]}"

export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
mkdir -p "$build/findings" "$build/logs"

# run TARGET: fuzzes it and leaves its output in the log and its exit
# status in the status file.
run() {
  local target="$1"
  # The corpus grows in the build tree; the checked-in seeds stay as they are.
  mkdir -p "$build/corpus/$target"
  local status=0
  "$build/fuzz/$target" "$build/corpus/$target" "fuzz/corpus/$target" -dict="fuzz/dict/${dictionary[$target]}.dict" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=16384 -print_final_stats=1 \
      -artifact_prefix="$build/findings/$target-" >"$build/logs/$target.log" 2>&1 || status=$?
  echo "$status" >"$build/logs/$target.status"
}

# As many targets at a time as there are cores (VEXA_FUZZ_JOBS overrides).
jobs="${VEXA_FUZZ_JOBS:-$(nproc)}"
for target in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  run "$target" &
done
wait

status=0
printf '%-24s %8s %12s %10s %8s %8s  %s\n' target seconds execs exec/s cov ft result
for target in "${targets[@]}"; do
  log="$build/logs/$target.log"
  result=clean
  if [ "$(cat "$build/logs/$target.status")" != 0 ]; then result="FINDING (see $log)"; status=1; fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  coverage=$(grep -E '^#[0-9]+' "$log" | tail -1)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$coverage")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$coverage")
  printf '%-24s %8s %12s %10s %8s %8s  %s\n' "$target" "$seconds" "${execs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "$result"
done
exit $status
