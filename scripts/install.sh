#!/usr/bin/env bash
# Builds Quarrydex and installs it into .venv (after scripts/setup.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
.venv/bin/python -m pip install -q --no-build-isolation --force-reinstall --no-deps .
