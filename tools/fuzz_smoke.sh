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
for src in "${targets[@]}"; do
  name=$(basename "$src" .cpp)
  work=$(mktemp -d)
  [[ -d fuzz/corpus/$name ]] && cp -r "fuzz/corpus/$name/." "$work/"
  echo "-- fuzz_$name for ${seconds}s"
  "build/fuzz/fuzz/fuzz_$name" -max_total_time="$seconds" -max_len=65536 -print_final_stats=0 \
      -detect_leaks=1 "$work" 2>&1 | tail -3
  rm -rf "$work"
done
