#!/usr/bin/env bash
# Runs every test on a fresh Debian 12 machine: installs what is needed,
# builds and runs the C++ unit tests, installs the module into .venv and runs
# the Python tests and the examples.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test typing
export PATH="$PWD/.venv/bin:$PATH"

if [ -d build-test ]; then
  meson setup build-test -Dtests=true --reconfigure >/dev/null
else
  meson setup build-test -Dtests=true >/dev/null
fi
ninja -C build-test
meson test -C build-test --print-errorlogs

scripts/install.sh
(cd tests/python && ../../.venv/bin/python -m pytest -q -p no:cacheprovider .)
for example in examples/*.py; do
  [ -e "$example" ] || continue
  echo "example: $example"
  .venv/bin/python "$example" >/dev/null
done
echo "all tests passed"
