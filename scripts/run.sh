#!/bin/sh
# Installs what is missing, builds everything and starts the dialog; on a
# machine without a display, says how to convert with the command line
# instead.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh --run
./scripts/build.sh
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  cat <<'TEXT'
Built. There is no display here (DISPLAY and WAYLAND_DISPLAY are empty), so
the dialog is not started. Convert with the command-line converter instead:

    ./build/src/cli/tapedecoder-cli examples/demo.wav
    ./build/src/cli/tapedecoder-cli --help

or start the dialog on a virtual display:

    xvfb-run ./build/src/app/tapedecoder
TEXT
  exit 0
fi
exec ./build/src/app/tapedecoder
