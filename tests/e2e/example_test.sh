#!/bin/sh
# The sample under examples/: it is what make-demo.sh makes from demo.bas,
# and the README's command converts it, in a fresh clone, into the program
# it was made from, printing what the README shows.
#
# usage: example_test.sh SOURCE_DIR CLI WORK_DIR
set -eu
src=$1
cli=$2
work=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

sh "$src/examples/make-demo.sh" "$tmp"
cmp "$tmp/demo.wav" "$src/examples/demo.wav" ||
  fail "examples/demo.wav is not what examples/make-demo.sh makes from demo.bas"

mkdir -p "$tmp/clone/examples"
cp "$src/examples/demo.wav" "$tmp/clone/examples/"
(cd "$tmp/clone" && "$cli" examples/demo.wav) >"$tmp/printed" 2>&1 ||
  fail "the conversion failed: $(cat "$tmp/printed")"
# The README shows the two block lines and the summary; the measured
# speed may differ in its last digit, the rest must not.
grep -q '^examples/demo.wav:   1  0:00.0[0-9][0-9]  header program "demo" .* 19 bytes  ok  speed' "$tmp/printed" ||
  fail "the header's line is not what the README shows: $(cat "$tmp/printed")"
grep -q '^examples/demo.wav:   2  0:06.1[0-9][0-9]  data, flag ff .* 82 bytes  ok  speed' "$tmp/printed" ||
  fail "the data block's line is not what the README shows: $(cat "$tmp/printed")"
tail -n 1 "$tmp/printed" >"$tmp/summary"
echo "examples/demo.wav: 2 blocks (2 good, 0 bad) -> examples/demo.tap, examples/demo.txt" >"$tmp/expected"
diff "$tmp/expected" "$tmp/summary" || fail "the program printed something else than the README shows"

zmakebas -a 10 -n demo -o "$tmp/demo.tap" "$src/examples/demo.bas"
cmp "$tmp/clone/examples/demo.tap" "$tmp/demo.tap" || fail "examples/demo.tap differs from the program"
listbasic "$tmp/clone/examples/demo.tap" | sed 's/^ *//; s/ *$//' >"$tmp/listed"
diff "$src/examples/demo.bas" "$tmp/listed" || fail "listbasic lists another program"

echo "examples/demo.wav: made by make-demo.sh; the README's command prints its two lines and gives demo.bas back   ok" \
  >"$work/report/example.txt"
cat "$work/report/example.txt"
