#!/usr/bin/env bash
# Installs one wheel file into a new venv and runs the examples against it.
# Meant for a fresh minimal machine (scripts/wheel.sh runs it in one): it
# installs only Python itself, and first checks that neither CRoaring nor
# Abseil is on the machine, so a wheel that still needed them could not pass.
#   scripts/wheel_check.sh path/to/quarrydex-*.whl
set -euo pipefail
wheel=$(realpath "${1:?usage: wheel_check.sh WHEEL}")
cd "$(dirname "$0")/.."
examples=$PWD/examples

if ! command -v python3 >/dev/null || ! python3 -c 'import venv, ensurepip' 2>/dev/null; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3 python3-venv >/dev/null
fi
if ldconfig -p | grep -E 'libroaring|libabsl'; then
  echo "wheel_check: the machine has CRoaring or Abseil installed; the check would prove nothing" >&2
  exit 1
fi

env_dir=$(mktemp -d)/venv
python3 -m venv "$env_dir"
"$env_dir/bin/python" -m pip install -q --no-index "$wheel"
# Run from elsewhere, so that nothing but the installed wheel can be imported.
cd "$(dirname "$env_dir")"
"$env_dir/bin/python" -c 'import Quarrydex; print("import Quarrydex", Quarrydex.__version__, "from", Quarrydex.__file__)'
for example in "$examples"/*.py; do
  echo "example: $(basename "$example")"
  "$env_dir/bin/python" "$example" >/dev/null
done
echo "wheel_check: $(basename "$wheel") installs and runs"
