#!/usr/bin/env bash
# Installs every Debian 12 package the build, the tests and the demo need.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config git
  libjsoncpp-dev libcurl4-openssl-dev libzstd-dev zlib1g-dev zstd
  libavformat-dev libavcodec-dev libswresample-dev libswscale-dev libavutil-dev
  libsdl2-dev libgraphicsmagick++1-dev libdrm-dev libmicrohttpd-dev
  libgpiod-dev
  libgtest-dev googletest
  tshark rt-tests iproute2 procps curl util-linux tzdata
  ffmpeg
  clang libclang-rt-14-dev
  graphicsmagick
  libre2-dev gdb zip unzip
  faketime
  libmosquitto-dev mosquitto chromium
  libpng-dev
  libssl-dev
  libfaketime
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages: ${missing[*]}" >&2
  echo "setup: run this script as root to install them" >&2
  exit 1
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
