#!/usr/bin/env bash
# Whole-program benchmark of vexatoolsVexaReceiver; see run.py.
set -euo pipefail
exec python3 "$(dirname "$0")/run.py" "$@"
