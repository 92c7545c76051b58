#!/bin/sh
# Installs the dependencies, builds everything and runs every test.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
./scripts/build.sh
ctest --test-dir build --output-on-failure -j2
