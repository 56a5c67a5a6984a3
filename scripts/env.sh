# Sourced by the project's scripts (never run on its own): moves to the project
# root and makes the project's virtual environment the one every tool comes
# from. Meson, ninja, pip and the build backend are then the ones
# scripts/setup.sh installed into .venv, whatever the machine has on PATH.
project_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$project_root"
venv="$project_root/.venv"
export VIRTUAL_ENV="$venv"
export PATH="$venv/bin:$PATH"
# meson-python runs the Meson named here, not the first one on PATH.
export MESON="$venv/bin/meson"
python="$venv/bin/python"
