#!/bin/sh
# Makes demo.wav, the sample recording, from demo.bas: zmakebas turns the
# program into a tape image (a header and the program, starting at line
# 10) and tape2wav records that at 44100 Hz, 8-bit mono.
#
# usage: make-demo.sh [OUTPUT_DIR]   (default: this folder)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
zmakebas -a 10 -n demo -o "$tmp/demo.tap" "$here/demo.bas"
tape2wav -r 44100 "$tmp/demo.tap" "$out/demo.wav" >/dev/null
