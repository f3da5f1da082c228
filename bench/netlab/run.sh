#!/usr/bin/env bash
# The pipeline across hosts in the network lab (needs root); see run.py.
set -euo pipefail
exec python3 "$(dirname "$0")/run.py" "$@"
