#!/usr/bin/env bash
# Runs every test on a fresh Debian 12 machine: installs what is needed,
# builds and runs the C++ unit tests, installs the module into .venv and runs
# the Python tests and the examples.
set -euo pipefail
source "$(dirname "$0")/env.sh"
scripts/setup.sh test typing

if [ -d build-test ]; then
  "$venv/bin/meson" setup build-test -Dtests=true --reconfigure >/dev/null
else
  "$venv/bin/meson" setup build-test -Dtests=true >/dev/null
fi
"$venv/bin/ninja" -C build-test
"$venv/bin/meson" test -C build-test --print-errorlogs

scripts/install.sh
(cd tests/python && "$python" -m pytest -q -p no:cacheprovider .)
for example in examples/*.py; do
  [ -e "$example" ] || continue
  echo "example: $example"
  "$python" "$example" >/dev/null
done
echo "all tests passed"
