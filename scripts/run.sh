#!/bin/sh
# Installs the dependencies, builds everything and starts the program.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
./scripts/build.sh
exec ./build/src/app/tapedecoder
