#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the reference peers need.
# Idempotent and quiet when everything is already present.
set -euo pipefail
PACKAGES=(
  build-essential cmake ninja-build pkg-config ccache clang clang-format libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libspdlog-dev libfmt-dev
  libsdl2-dev xvfb xauth xdotool xclip x11-utils x11-xkb-utils
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libswresample-dev
  libx264-dev libx265-dev libvpx-dev libaom-dev libsvtav1enc-dev
  libcairo2-dev libpango1.0-dev fonts-liberation2 fonts-dejavu-core xdotool
  libcurl4-openssl-dev libssl-dev openssl ca-certificates libcpp-httplib-dev
  libsystemd-dev systemd
  python3 python3-matplotlib
  lintian desktop-file-utils man-db file chromium
  nftables iproute2
)
# The Windows cross build (scripts/test.sh --windows): compiler, Wine, GoogleTest's sources.
if [ "${1:-}" = --windows ]; then
  PACKAGES+=(mingw-w64 g++-mingw-w64-x86-64-posix wine64 wine googletest)
fi
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
