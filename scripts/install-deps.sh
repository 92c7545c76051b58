#!/bin/sh
# Installs what tapedecoder needs on Debian 12, and only what is missing:
# nothing is fetched (not even the package lists) when all is there.
#   install-deps.sh        everything: to build, run and test
#   install-deps.sh --run  only what building and running needs
set -eu
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

BUILD="build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-qpa-plugins qt6-tools-dev qt6-l10n-tools libgl-dev
    libcli11-dev libgtest-dev
    libsndfile1-dev libflac-dev libsoxr-dev libspectrum-dev zlib1g-dev"
TEST="clang libclang-rt-14-dev
    sox libsox-fmt-mp3 fuse-emulator-utils zmakebas pasmo python3
    xvfb xauth imagemagick fonts-dejavu-core locales
    dpkg-dev file desktop-file-utils groff-base libxml2-utils"
WANTED="$BUILD"
if [ "${1:-}" != "--run" ]; then WANTED="$BUILD $TEST"; fi

MISSING=""
for package in $WANTED; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    MISSING="$MISSING $package"
  fi
done
if [ -n "$MISSING" ]; then
  echo "Installing:$MISSING"
  $SUDO apt-get update -qq
  # shellcheck disable=SC2086  # one word per package
  $SUDO apt-get install -y -qq $MISSING >/dev/null
fi

# A Russian locale, so that the tests can check that a comma-decimal process
# locale does not change how numbers are read.
if [ "${1:-}" != "--run" ] && ! locale -a 2>/dev/null | grep -qi '^ru_RU\.utf'; then
  $SUDO localedef -i ru_RU -f UTF-8 ru_RU.UTF-8 || true
fi
