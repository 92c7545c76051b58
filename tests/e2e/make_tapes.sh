#!/bin/sh
# Makes the tapes of the end-to-end suite and their recordings with tools
# from outside this project: BASIC programs with zmakebas, machine code with
# pasmo, recordings with tape2wav at 44100 Hz. Clears the report of the
# previous run.
#
# usage: make_tapes.sh SOURCE_DIR WORK_DIR
#   SOURCE_DIR holds the .bas and .asm sources; WORK_DIR receives
#   NAME.tap and NAME.wav for each tape, and an empty report folder.
set -eu
src=$1
work=$2

for tool in zmakebas pasmo tape2wav sox tzxlist listbasic; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "missing tool: $tool (./scripts/install-deps.sh installs it)" >&2
    exit 1
  fi
done

mkdir -p "$work"
rm -rf "$work/report" "$work/parts"
mkdir -p "$work/report/recordings" "$work/parts"
parts=$work/parts

basic() {  # basic NAME SOURCE: a program with its header, starting at line 10
  zmakebas -a 10 -n "$1" -o "$parts/$1.tap" "$src/$2"
}
code() {  # code NAME SOURCE: a CODE block with its header
  pasmo --name "$1" --tap "$src/$2" "$parts/$1.tap"
}
headerless() {  # headerless NAME SOURCE: the data block alone
  code "$1-with-header" "$2"
  # The header's record is the first 21 bytes: its length (2) and 19 bytes.
  tail -c +22 "$parts/$1-with-header.tap" >"$parts/$1.tap"
}

basic program program.bas
basic loader loader.bas
basic copy program.bas
code bigcode bigcode.asm
code table table.asm
code sprites sprites.asm
headerless table-data table.asm
headerless sprite-data sprites.asm

cp "$parts/program.tap" "$work/basic.tap"
cp "$parts/bigcode.tap" "$work/code.tap"
cp "$parts/table-data.tap" "$work/headerless.tap"
# Twelve blocks: programs, code with and without headers, one and two
# blocks in a row of each kind.
cat "$parts/loader.tap" "$parts/table.tap" "$parts/table-data.tap" \
    "$parts/sprites.tap" "$parts/sprite-data.tap" "$parts/program.tap" \
    "$parts/copy.tap" >"$work/many.tap"

for tape in basic code headerless many; do
  tape2wav -r 44100 "$work/$tape.tap" "$work/$tape.wav" >/dev/null
  blocks=$(tzxlist "$work/$tape.tap" | grep -c 'Standard Speed Data')
  echo "$tape: $(wc -c <"$work/$tape.tap") bytes in $blocks blocks, $(wc -c <"$work/$tape.wav") bytes of recording"
done
