#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the default preset and makes the
# Debian package from it. Prints the package's path as the last line:
#   build/package/mitu_VERSION-RELEASE_ARCH.deb
# Install it with: sudo apt install ./build/package/mitu_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh >&2
scripts/build.sh default >&2
rm -f build/package/*.deb
(cd build && cpack -G DEB >&2)
deb=$(ls build/package/*.deb)
echo "$deb"
