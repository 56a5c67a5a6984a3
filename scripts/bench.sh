#!/usr/bin/env bash
# The benchmark suite (see bench/README.md): installs what it needs, builds the
# module into .venv and runs bench/run.py with the given options.
#   scripts/bench.sh                 reduced sizes, a few minutes
#   scripts/bench.sh --full          2,000,000 fruits, 1,000,000 ranges, 500,000 strings
set -euo pipefail
source "$(dirname "$0")/env.sh"
scripts/setup.sh bench
scripts/install.sh
exec "$python" bench/run.py "$@"
