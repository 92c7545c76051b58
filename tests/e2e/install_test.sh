#!/bin/sh
# Installs the build into a scratch prefix, as `cmake --install` does for a
# user, and checks what lands there: both programs, the manual page, the
# desktop entry and the icon, and an installed converter that works.
#
# usage: install_test.sh BUILD_DIR WORK_DIR WITH_DIALOG(0|1)
set -eu
build=$1
work=$2
dialog=$3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

for tool in groff desktop-file-validate xmllint; do
  command -v "$tool" >/dev/null 2>&1 ||
    fail "missing tool: $tool (./scripts/install-deps.sh installs it)"
done

cmake --install "$build" --prefix "$prefix" >/dev/null

cli=$prefix/bin/tapedecoder-cli
[ -x "$cli" ] || fail "tapedecoder-cli is not installed in bin"
version=$("$cli" --version)
[ "$version" = "$("$build/src/cli/tapedecoder-cli" --version)" ] ||
  fail "the installed tapedecoder-cli says $version"

# The manual page: roff without warnings, the program's version, and every
# option that --help lists.
installed=$prefix/share/man/man1/tapedecoder-cli.1.gz
[ -f "$installed" ] || fail "no compressed manual page in share/man/man1"
man=$work/tapedecoder-cli.1
gzip -dc "$installed" >"$man" || fail "the manual page is not gzip"
warnings=$(groff -k -man -ww -z -Tutf8 "$man" 2>&1)
[ -z "$warnings" ] || fail "groff on the manual page: $warnings"
grep -q "\"tapedecoder ${version#tapedecoder-cli }\"" "$man" ||
  fail "the manual page does not give version ${version#tapedecoder-cli }"
for option in $("$cli" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
  roff=$(printf '%s' "$option" | sed 's/-/\\-/g')
  grep -qF -- "$roff" "$man" || fail "the manual page does not mention $option"
done

[ -f "$prefix/share/doc/tapedecoder/README.md" ] || fail "no README in share/doc/tapedecoder"

# The installed converter reads a recording that tape2wav made.
"$cli" -q -o "$prefix" "$work/basic.wav" || fail "the installed tapedecoder-cli failed"
cmp "$prefix/basic.tap" "$work/basic.tap" || fail "the installed tapedecoder-cli decoded wrongly"

desktop=$prefix/share/applications/tapedecoder.desktop
icon=$prefix/share/icons/hicolor/scalable/apps/tapedecoder.svg
if [ "$dialog" = 1 ]; then
  [ -x "$prefix/bin/tapedecoder" ] || fail "tapedecoder is not installed in bin"
  desktop-file-validate "$desktop" || fail "desktop-file-validate rejects the desktop entry"
  grep -qx 'Exec=tapedecoder' "$desktop" || fail "the desktop entry does not start tapedecoder"
  grep -qx 'Icon=tapedecoder' "$desktop" || fail "the desktop entry names another icon"
  xmllint --noout "$icon" || fail "the icon is not well-formed SVG"
  grep -q '^MimeType=.*audio/flac;.*application/x-spectrum-tap;' "$desktop" ||
    fail "the desktop entry names no audio or tape MimeType"
  page=$prefix/share/man/man1/tapedecoder.1.gz
  [ -f "$page" ] || fail "no manual page for the dialog"
  warnings=$(gzip -dc "$page" | groff -k -man -ww -z -Tutf8 2>&1)
  [ -z "$warnings" ] || fail "groff on the dialog's manual page: $warnings"
  what="tapedecoder, tapedecoder-cli, manual page, desktop entry, icon"
else
  [ ! -e "$desktop" ] || fail "a desktop entry without the dialog"
  what="tapedecoder-cli, manual page (built without the dialog)"
fi

echo "cmake --install: $what installed; installed converter decodes basic.wav exactly   ok" \
  >"$work/report/install.txt"
cat "$work/report/install.txt"
