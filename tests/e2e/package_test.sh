#!/bin/sh
# Makes the Debian package with CPack, installs it with apt-get as a user
# would, runs and converts with the installed programs, and removes the
# package again so that the machine is left as it was. Needs root or
# password-less sudo; without them, or when a tapedecoder package is
# already installed (which is left alone), the test is skipped (status 77).
#
# usage: package_test.sh BUILD_DIR WORK_DIR WITH_DIALOG(0|1)
set -eu
build=$1
work=$2
dialog=$3
fail() { echo "FAIL: $*" >&2; exit 1; }

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo -n"
  if ! $SUDO true 2>/dev/null; then
    echo "installing a package needs root or sudo without a password; not tested"
    exit 77
  fi
fi
export DEBIAN_FRONTEND=noninteractive

if dpkg-query -W -f '${Status}' tapedecoder 2>/dev/null | grep -q 'ok installed'; then
  echo "a tapedecoder package is already installed on this machine; not touching it"
  exit 77
fi

out=$(mktemp -d)
installed=0
cleanup() {
  if [ "$installed" = 1 ]; then $SUDO apt-get remove -y -qq tapedecoder >/dev/null 2>&1 || true; fi
  rm -rf "$out"
}
trap cleanup EXIT

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log" 2>&1 ||
  { cat "$out/cpack.log"; fail "cpack failed"; }
deb=$(ls "$out"/tapedecoder_*.deb)

# Dependencies are declared, so that apt-get brings them to a fresh machine.
depends=$(dpkg-deb -f "$deb" Depends)
needed="libc6 libstdc++6"
[ "$dialog" = 1 ] && needed="$needed libqt6core6 libqt6gui6 libqt6widgets6 qt6-qpa-plugins"
for package in $needed; do
  echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//' | grep -qxF "$package" ||
    fail "Depends lacks $package: $depends"
done

installed=1
$SUDO apt-get install -y -qq "$deb" >"$out/apt.log" 2>&1 ||
  { cat "$out/apt.log"; fail "apt-get install failed"; }

[ "$(command -v tapedecoder-cli)" = /usr/bin/tapedecoder-cli ] ||
  fail "tapedecoder-cli is not /usr/bin/tapedecoder-cli"
version=$(tapedecoder-cli --version)
[ "$version" = "$("$build/src/cli/tapedecoder-cli" --version)" ] || fail "installed: $version"
tapedecoder-cli -q -o "$out" "$work/many.wav" || fail "the installed converter failed"
cmp "$out/many.tap" "$work/many.tap" || fail "the installed converter decoded wrongly"
ls /usr/share/man/man1/tapedecoder-cli.1* >/dev/null || fail "no manual page"
[ -f /usr/share/doc/tapedecoder/README.md ] || fail "no README in /usr/share/doc/tapedecoder"
dpkg-deb -f "$deb" Description | grep -q FLAC || fail "the package's description is not the current one"

if [ "$dialog" = 1 ]; then
  [ -x /usr/bin/tapedecoder ] || fail "no /usr/bin/tapedecoder"
  [ -f /usr/share/applications/tapedecoder.desktop ] || fail "no desktop entry"
  ls /usr/share/man/man1/tapedecoder.1* >/dev/null || fail "no manual page for the dialog"
  [ -f /usr/share/icons/hicolor/scalable/apps/tapedecoder.svg ] || fail "no icon"
  if ldd /usr/bin/tapedecoder | grep 'not found'; then fail "libraries missing"; fi
  # The dialog starts on an X display and stays open until it is stopped.
  status=0
  env -u QT_QPA_PLATFORM xvfb-run -a timeout 5 /usr/bin/tapedecoder >"$out/dialog.log" 2>&1 ||
    status=$?
  [ "$status" = 124 ] || { cat "$out/dialog.log"; fail "the dialog ended by itself ($status)"; }
fi

$SUDO apt-get remove -y -qq tapedecoder >/dev/null 2>&1 || fail "apt-get remove failed"
installed=0
[ ! -e /usr/bin/tapedecoder-cli ] || fail "tapedecoder-cli is still there after removal"

echo "package: $(basename "$deb") (Depends: $depends) installs, converts many.wav exactly, removes   ok" \
  >"$work/report/package.txt"
cat "$work/report/package.txt"
