#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each briefly from its seed
# corpus (fuzz/corpus/<name>/). Any crash, leak or sanitizer report fails.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-20}
shopt -s nullglob
targets=(fuzz/*.cpp)
if ((${#targets[@]} == 0)); then echo "no fuzz targets"; exit 0; fi
cmake --preset fuzz >/dev/null
names=()
for src in "${targets[@]}"; do names+=("fuzz_$(basename "$src" .cpp)"); done
cmake --build --preset fuzz --target "${names[@]}"
# Runs fuzz_$1 for $seconds from the seeds $3... (none: from nothing), inputs
# of at most $2 bytes.
fuzz_from() {
  local name=$1 max_len=$2
  shift 2
  local work
  work=$(mktemp -d)
  (($#)) && cp "$@" "$work/"
  "build/fuzz/fuzz/fuzz_$name" -max_total_time="$seconds" -max_len="$max_len" -print_final_stats=0 \
      -detect_leaks=1 "$work" 2>&1 | tail -3
  rm -rf "$work"
}
for src in "${targets[@]}"; do
  name=$(basename "$src" .cpp)
  seeds=(fuzz/corpus/"$name"/*)
  if ((${#seeds[@]})); then
    # Every seed once on its own first, so that a failing seed is named.
    echo "-- fuzz_$name: ${#seeds[@]} seeds"
    "build/fuzz/fuzz/fuzz_$name" -detect_leaks=1 "${seeds[@]}" >/dev/null 2>&1 ||
      "build/fuzz/fuzz/fuzz_$name" -detect_leaks=1 "${seeds[@]}" 2>&1 | grep -E '^Running|ERROR|SUMMARY'
  fi
  echo "-- fuzz_$name for ${seconds}s"
  fuzz_from "$name" 65536 "${seeds[@]}"
done
# The EFS operation mode (first byte's top bit set: short inputs, many
# operations each) gets a run of its own from its seeds.
echo "-- fuzz_efs_image operation mode for ${seconds}s"
fuzz_from efs_image 512 fuzz/corpus/efs_image/ops_*
