#!/bin/sh
# Builds everything but the benchmarks with AddressSanitizer and UBSan into
# ./build-asan and runs the whole test suite there.
set -eu
cd "$(dirname "$0")/.."
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
      -DTAPEDECODER_SANITIZE=ON >/dev/null
cmake --build build-asan
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$(pwd)/tests/lsan.supp:print_suppressions=0"
ctest --test-dir build-asan --output-on-failure -j2
