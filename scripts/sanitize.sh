#!/usr/bin/env bash
# Builds the module with a sanitizer and runs the Python tests against that
# build (not against the module installed in .venv).
#
#   scripts/sanitize.sh asan [pytest args...]   AddressSanitizer + UBSan into build-asan/:
#                                               the C++ unit tests, then every Python test
#   scripts/sanitize.sh tsan [pytest args...]   ThreadSanitizer into build-tsan/: the
#                                               threaded stress tests and the fault tests
#
# Extra arguments replace the default pytest selection (paths are relative to
# tests/python), e.g. `scripts/sanitize.sh tsan test_threads.py -k union`.
# Any sanitizer report fails the run.
#
# The interpreter itself is not instrumented, so the sanitizer runtime is
# preloaded, and PYTHONMALLOC=malloc routes Python objects through the
# sanitizer's allocator: otherwise pymalloc's reuse of freed objects hides
# use-after-free from ASan and looks like unsynchronised reuse to TSan.
set -euo pipefail
source "$(dirname "$0")/env.sh"
root=$project_root

usage() {
  sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'
  exit "${1:-0}"
}
[[ $# -ge 1 ]] || usage 2
kind=$1
shift

case "$kind" in
  asan)
    build=build-asan
    sanitize=address,undefined
    runtime=$(g++ -print-file-name=libasan.so)
    default_tests=(.)
    ;;
  tsan)
    build=build-tsan
    sanitize=thread
    runtime=$(g++ -print-file-name=libtsan.so)
    default_tests=(test_threads.py test_faults.py)
    ;;
  -h | --help) usage 0 ;;
  *) usage 2 ;;
esac
scripts/setup.sh test
[[ -f "$runtime" ]] || { echo "sanitize: $runtime not found (install g++)" >&2; exit 1; }
# The interpreter does not link the C++ runtime; preloaded after the sanitizer
# runtime, it lets the sanitizer's __cxa_throw interceptor find the real one.
preload="$runtime $(g++ -print-file-name=libstdc++.so)"

# Debug information for readable reports; -O1 keeps the suite's run time sane.
options=(-Dtests=true -Db_sanitize=$sanitize -Db_lundef=false -Dbuildtype=debugoptimized
  -Doptimization=1 -Db_ndebug=false)
if [[ -d $build ]]; then
  "$venv/bin/meson" setup "$build" "${options[@]}" --reconfigure >/dev/null
else
  "$venv/bin/meson" setup "$build" "${options[@]}" >/dev/null
fi
if [[ $kind == asan ]]; then
  "$venv/bin/ninja" -C "$build"
else
  # Only the module and the fault hook: the unit tests gain nothing from TSan.
  suffix=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
  "$venv/bin/ninja" -C "$build" "src/quarrydex/python/Quarrydex$suffix" "tests/hooks/_quarrydex_faults$suffix"
fi

if [[ $kind == asan ]]; then
  # The unit tests are ordinary executables linked with the runtime.
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$venv/bin/meson" test -C "$build" --suite cpp --print-errorlogs
fi

tests=("$@")
[[ ${#tests[@]} -gt 0 ]] || tests=("${default_tests[@]}")

# Reports go to files as well as killing the process: a report raised while
# pytest captures a test's output, or in a thread that is ending, could
# otherwise pass unseen.
logs="$root/$build/sanitizer-logs"
rm -rf "$logs"
mkdir -p "$logs"
# Leak detection stays off for the interpreter run: CPython leaves most of its
# objects to process exit on purpose. tests/python/test_leaks.py checks ours.
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:log_path=$logs/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan"
export TSAN_OPTIONS="halt_on_error=1:abort_on_error=1:second_deadlock_stack=1:log_path=$logs/tsan:suppressions=$root/tests/sanitizers/tsan.supp"
export PYTHONMALLOC=malloc
export PYTHONPATH="$root/$build/src/quarrydex/python:$root/$build/tests/hooks"
export QUARRYDEX_FAULTS_DIR="$root/$build/tests/hooks"
export QUARRYDEX_SANITIZER=$kind

cd tests/python
start=$(date +%s)
status=0
LD_PRELOAD="$preload" "$python" -m pytest -q -p no:cacheprovider "${tests[@]}" ||
  status=$?
echo "sanitize: $kind run took $(($(date +%s) - start)) s, pytest exit status $status"
if compgen -G "$logs/*" >/dev/null; then
  echo "sanitize: sanitizer reports (also in $logs):"
  cat "$logs"/*
  [[ $status -ne 0 ]] || status=1
fi
exit $status
