#!/usr/bin/env bash
# The main job: builds the module and runs the demo (see README).
#   scripts/demo.sh [--size N]
set -euo pipefail
source "$(dirname "$0")/env.sh"
scripts/setup.sh bench
scripts/install.sh
exec "$python" demo/demo.py "$@"
