#!/bin/sh
# Installs the dependencies, builds everything and runs every test: the
# normal build, the sanitizer build and a bounded fuzzing run.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
./scripts/build.sh
ctest --test-dir build --output-on-failure -j2
./scripts/sanitize.sh
./scripts/fuzz.sh
