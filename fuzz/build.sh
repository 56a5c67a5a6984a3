#!/usr/bin/env bash
# Builds every fuzz/fuzz_*.cpp target with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer into build-fuzz/.
#
#   fuzz/build.sh                 build all targets
#   fuzz/build.sh --run SECONDS   build, then run each target for SECONDS
#
# Every target links all of src/quarrydex/structures/*.cpp (the interner in
# structures/string_interner/ is not part of it) plus base/panic.cpp, so a
# new target needs no source list. Corpora persist in build-fuzz/corpus/NAME.
# Set CXX to use another clang.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'
  exit "${1:-0}"
}

run_seconds=""
while [[ $# -gt 0 ]]; do
  case "$1" in
    --run)
      [[ $# -ge 2 && "$2" =~ ^[0-9]+$ ]] || usage 2
      run_seconds="$2"
      shift 2
      ;;
    -h | --help) usage 0 ;;
    *) usage 2 ;;
  esac
done

CXX="${CXX:-clang++-14}"
out="build-fuzz"
mkdir -p "$out/obj"

common=(-std=c++20 -O1 -g -Isrc/quarrydex -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
# shellcheck disable=SC2207
absl_cflags=($(pkg-config --cflags absl_flat_hash_map absl_hash absl_inlined_vector 2>/dev/null || true))
# shellcheck disable=SC2207
absl_libs=($(pkg-config --libs absl_flat_hash_map absl_hash absl_inlined_vector 2>/dev/null || true))

# The structure sources are compiled once, instrumented, and shared by all targets.
sources=(src/quarrydex/structures/*.cpp src/quarrydex/base/panic.cpp)
objects=()
pids=()
for src in "${sources[@]}"; do
  obj="$out/obj/$(echo "${src%.cpp}" | tr '/' '_').o"
  objects+=("$obj")
  "$CXX" "${common[@]}" "${absl_cflags[@]}" -fsanitize=fuzzer-no-link,address,undefined \
    -c "$src" -o "$obj" &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid"; done

targets=()
for src in fuzz/fuzz_*.cpp; do
  name="$(basename "${src%.cpp}")"
  echo "building $name"
  "$CXX" "${common[@]}" "${absl_cflags[@]}" -fsanitize=fuzzer,address,undefined \
    "$src" "${objects[@]}" -lroaring "${absl_libs[@]}" -o "$out/$name"
  targets+=("$name")
done

[[ -z "$run_seconds" ]] && exit 0

failed=()
for name in "${targets[@]}"; do
  corpus="$out/corpus/$name"
  mkdir -p "$corpus"
  echo "running $name for ${run_seconds}s"
  if ! "./$out/$name" -max_total_time="$run_seconds" -print_final_stats=1 \
    -artifact_prefix="$out/$name-" "$corpus" 2>"$out/$name.log"; then
    failed+=("$name")
  fi
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE)' "$out/$name.log" || true
done

if [[ ${#failed[@]} -gt 0 ]]; then
  echo "FAILED: ${failed[*]} (logs and crash inputs in $out/)" >&2
  exit 1
fi
echo "all fuzz targets ran ${run_seconds}s without a failure"
