#!/usr/bin/env bash
# Builds Quarrydex and installs it into .venv (after scripts/setup.sh).
# The build is not isolated, so it uses the Meson, ninja and meson-python of
# .venv rather than fetching them again on every install.
set -euo pipefail
source "$(dirname "$0")/env.sh"
"$python" -m pip install -q --no-build-isolation --force-reinstall --no-deps .
