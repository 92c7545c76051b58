#!/bin/sh
# The same bytes whatever the number of threads: a batch of recordings of
# the e2e tapes (mono, stereo with hiss on one side, FLAC, a noisy one, one
# of a bad tape) converted into every format with reports, once with -j 1
# (one recording at a time, each in one thread) and once with -j 4
# (recordings side by side, each read ahead and its streams decoded in
# parallel). Every output file and everything printed must be identical.
#
# usage: threads_test.sh CLI WORK_DIR
set -eu
cli=$1
work=$2
tmp=$(mktemp -d)
trap '[ -n "${KEEP:-}" ] || rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

mkdir -p "$tmp/in"
sox="sox -D -R -V1"
for tape in basic many; do
  [ -f "$work/$tape.wav" ] || fail "make_tapes.sh has not made $tape.wav"
done
seconds=$(soxi -D "$work/basic.wav")
cp "$work/basic.wav" "$tmp/in/basic.wav"
$sox -n -r 44100 -c 1 "$tmp/in/hiss.wav" synth "$seconds" whitenoise vol 0.3
$sox -M "$tmp/in/hiss.wav" "$work/basic.wav" -c 2 "$tmp/in/basic-stereo.wav"
$sox -m -v 0.5 "$work/basic.wav" -v 0.4 "$tmp/in/hiss.wav" -b 16 "$tmp/in/basic-noisy.wav"
$sox "$work/many.wav" -t flac -r 48000 -b 16 "$tmp/in/many.flac" highpass 900 lowpass 6000
# Cut inside a block: a bad block, cut short by the end of the recording.
$sox "$work/many.wav" -b 16 "$tmp/in/many-cut.wav" trim 0 "$(soxi -D "$work/many.wav" | awk '{print $1 * 0.8}')"
recordings="basic.wav basic-stereo.wav many.flac basic-noisy.wav many-cut.wav"

run() {  # run JOBS FOLDER: the same output folder's name each time
  status=0
  # shellcheck disable=SC2086 # the names hold no spaces
  (cd "$tmp/in" && "$cli" -j "$1" --report --format tap,tzx,pzx,csw -o out $recordings) \
    >"$tmp/$2.out" 2>"$tmp/$2.err" || status=$?
  echo "$status" >"$tmp/$2.status"
  mv "$tmp/in/out" "$tmp/$2"
}
run 1 serial
run 4 parallel
for what in out err status; do
  cmp "$tmp/serial.$what" "$tmp/parallel.$what" || fail "what -j 4 printed ($what) differs from -j 1"
done
[ -s "$tmp/serial.out" ] || fail "nothing was printed: $(cat "$tmp/serial.err")"
count=0
for file in "$tmp"/serial/*; do
  name=$(basename "$file")
  cmp "$file" "$tmp/parallel/$name" || fail "$name differs between -j 1 and -j 4"
  count=$((count + 1))
done
[ "$count" -ge 20 ] || fail "only $count outputs were written: $(cat "$tmp/serial.err")"
[ "$(ls "$tmp/parallel" | wc -l)" -eq "$count" ] || fail "-j 4 wrote other files than -j 1"
echo "threads: $count outputs and the printed lines identical with -j 1 and -j 4"
