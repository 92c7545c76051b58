#!/bin/sh
# Builds the libFuzzer targets with clang into ./build-fuzz and runs each for
# FUZZ_SECONDS (default 60) from the seed corpus. Any crash, leak, timeout
# or sanitizer report fails the run and leaves its input in build-fuzz.
set -eu
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-60}"
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DTAPEDECODER_FUZZ=ON -DBUILD_GUI=OFF >/dev/null
cmake --build build-fuzz
dir=build-fuzz/tests/fuzz
for target in "$dir"/*_fuzz; do
  name=$(basename "$target")
  corpus="$dir/corpus-$name"
  mkdir -p "$corpus" "$dir/artifacts"
  echo "== $name: ${seconds}s"
  "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            -max_len=65536 -print_final_stats=1 \
            -artifact_prefix="$dir/artifacts/$name-" \
            "$corpus" "$dir/seeds/$name" 2>"$dir/$name.log" || {
    tail -n 60 "$dir/$name.log"; echo "$name FAILED"; exit 1; }
  grep -E '^stat::number_of_executed_units|^Done' "$dir/$name.log" || true
done
