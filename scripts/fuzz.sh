#!/bin/sh
# Builds the libFuzzer targets with clang into ./build-fuzz and runs every
# *_fuzz target in it from the seed corpus. Any crash, leak, timeout or
# sanitizer report fails the run and leaves its input in
# build-fuzz/tests/fuzz/artifacts.
#
#   scripts/fuzz.sh          each target for FUZZ_SECONDS (default 60): the
#                            short session CI runs
#   scripts/fuzz.sh --long   each target for FUZZ_RUNS executions (default
#                            1000000) with no time limit: the deep session,
#                            run outside CI (minutes to hours per target)
#
# The corpus each target grows (build-fuzz/tests/fuzz/corpus-<target>) is
# kept between runs, so every session starts where the last one stopped.
#
# Regressions: every input that once crashed a target is kept as a file in
# tests/fuzz/regressions/<target>/, named after what it caught (e.g.
# tests/fuzz/regressions/conversion_fuzz/zero-length-data-chunk). Copy the
# artifact there when the crash is fixed. Those files are replayed here
# first, by the sanitized fuzzer, and join its corpus; in the normal build
# ctest replays them through the same entry point without libFuzzer as the
# test fuzz_regression.<target> (tests/fuzz/regressions/CMakeLists.txt).
set -eu
cd "$(dirname "$0")/.."
mode=short
case "${1:-}" in
  --long) mode=long ;;
  "") ;;
  *) echo "usage: $0 [--long]" >&2; exit 2 ;;
esac
seconds="${FUZZ_SECONDS:-60}"
runs="${FUZZ_RUNS:-1000000}"
if [ "$mode" = long ]; then
  limit="-runs=$runs"
  what="$runs runs"
else
  limit="-max_total_time=$seconds"
  what="${seconds}s"
fi
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DTAPEDECODER_FUZZ=ON -DBUILD_GUI=OFF >/dev/null
cmake --build build-fuzz
dir=build-fuzz/tests/fuzz
regressions=tests/fuzz/regressions
for target in "$dir"/*_fuzz; do
  # Only the programs: the corpus folders (corpus-<target>) match too.
  [ -f "$target" ] && [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus="$dir/corpus-$name"
  mkdir -p "$corpus" "$dir/artifacts"
  saved=""
  if [ -d "$regressions/$name" ] && [ -n "$(ls -A "$regressions/$name")" ]; then
    saved="$regressions/$name"
    echo "== $name: regressions"
    "$target" -runs=1 "$saved"/* >"$dir/$name.log" 2>&1 || {
      tail -n 60 "$dir/$name.log"; echo "$name FAILED on a regression"; exit 1; }
  fi
  echo "== $name: $what"
  # shellcheck disable=SC2086  # $saved is empty or one folder
  "$target" "$limit" -timeout=10 -rss_limit_mb=2048 \
            -max_len=65536 -print_final_stats=1 \
            -artifact_prefix="$dir/artifacts/$name-" \
            "$corpus" "$dir/seeds/$name" $saved 2>"$dir/$name.log" || {
    tail -n 60 "$dir/$name.log"; echo "$name FAILED"; exit 1; }
  grep -E '^stat::number_of_executed_units|^Done' "$dir/$name.log" || true
done
