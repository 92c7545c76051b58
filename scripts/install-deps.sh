#!/bin/sh
# Installs everything tapedecoder needs to build, run and test on Debian 12.
set -eu
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq \
    build-essential cmake ninja-build pkg-config \
    qt6-base-dev qt6-qpa-plugins qt6-tools-dev qt6-l10n-tools libgl-dev \
    libcli11-dev libgtest-dev \
    libsndfile1-dev libsoxr-dev libspectrum-dev zlib1g-dev \
    clang libclang-rt-14-dev \
    sox libsox-fmt-mp3 fuse-emulator-utils zmakebas pasmo \
    xvfb xauth imagemagick fonts-dejavu-core locales \
    dpkg-dev file desktop-file-utils groff-base libxml2-utils \
    >/dev/null
# A Russian locale, so that the tests can check that a comma-decimal process
# locale does not change how numbers are read.
if ! locale -a 2>/dev/null | grep -qi '^ru_RU\.utf'; then
  $SUDO localedef -i ru_RU -f UTF-8 ru_RU.UTF-8 || true
fi
