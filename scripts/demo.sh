#!/usr/bin/env bash
# The main job: builds the module and runs the demo (see README).
#   scripts/demo.sh [--size N]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh bench
scripts/install.sh
exec .venv/bin/python demo/demo.py "$@"
