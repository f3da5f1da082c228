#!/usr/bin/env bash
# Viewer benchmark: two headless chromium pages watching 1024 x 768 16-bit
# images at 25 images/s; see viewerBench.mjs.
# Usage: BUILD_DIR=<release build> bench/viewer/run.sh [ROUNDS, 3] [SECONDS per phase, 8]
# Needs chromium and node (VEXA_BROWSER_TESTS=1 scripts/install-deps.sh).
set -euo pipefail
repo="$(cd "$(dirname "$0")/../.." && pwd)"
build_dir="${BUILD_DIR:-$repo/build-bench}"
[ -d "$repo/viewer/test/browser/node_modules/playwright-core" ] ||
  npm ci --prefix "$repo/viewer/test/browser" --no-audit --no-fund >/dev/null
exec node "$repo/bench/viewer/viewerBench.mjs" "$build_dir" "$@"
