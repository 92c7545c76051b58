#!/bin/sh
# Installs the dependencies, builds everything and runs every test: the
# normal build, the sanitizer build and a bounded fuzzing run. The normal
# build also tests the Debian package: it installs it with apt-get and
# removes it again.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
./scripts/build.sh -DTAPEDECODER_PACKAGE_TEST=ON
ctest --test-dir build --output-on-failure -j2
./scripts/sanitize.sh
./scripts/fuzz.sh
