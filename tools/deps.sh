#!/bin/sh
# Installs the Debian packages Kestrum needs to build, test and package (dpkg-dev
# and file: the Debian package's dependencies found by dpkg-shlibdeps), only
# those missing; packages named as arguments too (CI: clang-format-14;
# tools/deb-test.sh: lintian).
set -e
pkgs="g++ make cmake pkg-config dpkg-dev file qt6-base-dev libhidapi-dev libudev-dev libgl-dev fonts-dejavu-core poppler-utils qt6-translations-l10n libqt6sql6-sqlite libqt6sql6-psql postgresql $*"
missing=""
for p in $pkgs; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "Installing:$missing"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing
fi
