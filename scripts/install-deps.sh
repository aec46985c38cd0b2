#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run.
# Safe to run repeatedly; needs root (or sudo) for apt-get.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

PACKAGES=(
  # toolchain and test framework
  build-essential cmake ninja-build pkg-config clang clang-format libclang-rt-14-dev
  googletest libgtest-dev libgmock-dev
  # network tools and servers used by the tests
  iproute2 nftables procps python3-pyftpdlib vsftpd
  # the STUN server of the voice check's tests and the demo service
  coturn
  # FTP over TLS: the library links OpenSSL; the tests make certificates with openssl
  libssl-dev openssl
  # the FTP benchmark compares with curl
  curl bc
  # the window, sound and speech
  qt6-base-dev qt6-multimedia-dev qt6-speech-dev qt6-svg-dev
  # the speech module's CMake package needs the QML integration package
  qt6-declarative-dev fontconfig fonts-dejavu-core fonts-liberation2
  qt6-speech-speechd-plugin qt6-speech-flite-plugin libqt6svg6 qt6-qpa-plugins
  pulseaudio pulseaudio-utils pavucontrol xvfb xauth x11-utils
  espeak-ng speech-dispatcher speech-dispatcher-espeak-ng sox
  # the Debian package: building it (dpkg-shlibdeps), checking its metadata,
  # manual pages, lintian's verdict and the test as an ordinary user (setpriv)
  dpkg-dev file desktop-file-utils appstream man-db gzip util-linux lintian
  # mitu-check writes its JSON report with it
  nlohmann-json3-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
