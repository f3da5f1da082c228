#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite.
#   scripts/test.sh              normal build in build/
#   scripts/test.sh address      AddressSanitizer + UndefinedBehaviorSanitizer in build-address/
#   scripts/test.sh thread       ThreadSanitizer in build-thread/
# Exits non-zero when any test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

sanitizer="${1:-}"
build_dir="build${sanitizer:+-$sanitizer}"
# The sanitizer builds are unity builds: they compile in about a quarter less time.
# The normal build compiles file by file, so it still finds a missing include.
unity=OFF
[ -z "$sanitizer" ] || unity=ON
cmake -S . -B "$build_dir" -G Ninja -DVEXA_SANITIZE="$sanitizer" -DCMAKE_UNITY_BUILD="$unity" >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# libzmq is not built with TSan; its suppressions name only that library.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/platform/lumo/tsan-libzmq.supp"
# The million-datagram storms (label "soak") run in the normal build only:
# under a sanitizer they would add about a minute to each suite. So do the
# network lab's runs (label "netlab"), which test the programs across hosts.
skip=()
[ -z "$sanitizer" ] || skip=(--label-exclude 'soak|netlab')
ctest --test-dir "$build_dir" --output-on-failure --timeout 300 --parallel 2 "${skip[@]}"
