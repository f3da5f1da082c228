#!/usr/bin/env bash
# Whole-pipeline benchmark of vexatoolsVexa2Lumo; see run.py.
set -euo pipefail
exec python3 "$(dirname "$0")/run.py" "$@"
