#!/usr/bin/env bash
# Builds the project in Release mode and runs every benchmark, each printing
# a table. Usage: bench/run.sh [name ...]   (default: all of bench/*/run.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build_dir=build-bench
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)" >/dev/null

names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for script in bench/*/run.sh; do names+=("$(basename "$(dirname "$script")")"); done
fi
for name in "${names[@]}"; do
  echo "== $name =="
  BUILD_DIR="$PWD/$build_dir" "bench/$name/run.sh"
  echo
done
