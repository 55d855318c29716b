#!/usr/bin/env bash
# Installs every Debian 12 package the build, the tests and the demo need.
# Idempotent: when everything is present it only checks and returns.
#   scripts/setup.sh               install what is missing (as root)
#   scripts/setup.sh --list GROUP  print one group, one package a line:
#                    tools | target | native   (scripts/arm64-env.sh builds
#                    its arm64 root from the first two)
set -euo pipefail

# Programs the build and the tests run, for the machine that runs them.
TOOLS=(
  build-essential cmake pkg-config git
  zstd googletest
  tshark rt-tests iproute2 procps curl util-linux tzdata
  ffmpeg
  gdb zip unzip
  faketime
  mosquitto chromium
  prometheus
)
# Libraries the programs and the tests link or load, and the program the
# benchmarks compare against, of the architecture the build is for.
TARGET=(
  libjsoncpp-dev libcurl4-openssl-dev libzstd-dev zlib1g-dev
  libavformat-dev libavcodec-dev libswresample-dev libswscale-dev libavutil-dev
  libsdl2-dev libgraphicsmagick++1-dev libdrm-dev libmicrohttpd-dev
  libgpiod-dev libre2-dev libmosquitto-dev libssl-dev
  libgtest-dev libpng-dev libfaketime libfreetype-dev
  graphicsmagick fonts-dejavu-core
)
# Only for builds on this machine: the sanitizer builds use clang's runtimes.
NATIVE=(clang libclang-rt-14-dev)

if [ "${1:-}" = --list ]; then
  case "${2:-}" in
    tools) printf '%s\n' "${TOOLS[@]}" ;;
    target) printf '%s\n' "${TARGET[@]}" ;;
    native) printf '%s\n' "${NATIVE[@]}" ;;
    *) echo "usage: $0 --list tools|target|native" >&2; exit 2 ;;
  esac
  exit 0
fi

missing=()
for p in "${TOOLS[@]}" "${TARGET[@]}" "${NATIVE[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

# axe-core checks the pages' accessibility in the browser tests; it lives
# in tests/web/node_modules and is never served by the board.
root=$(cd "$(dirname "$0")/.." && pwd)
axe_wanted=$(sed -n 's/.*"axe-core": "\(.*\)".*/\1/p' "$root/tests/web/package.json")
axe_have=$(sed -n 's/^  "version": "\([0-9.]*\)",*$/\1/p' "$root/tests/web/node_modules/axe-core/package.json" 2>/dev/null | head -1 || true)
install_axe() {
  [ "$axe_have" = "$axe_wanted" ] && return 0
  echo "setup: installing axe-core $axe_wanted for the page tests"
  npm install --prefix "$root/tests/web" --no-audit --no-fund --no-package-lock --loglevel=error
}
command -v npm >/dev/null 2>&1 || missing+=(npm)

if [ ${#missing[@]} -eq 0 ]; then
  install_axe
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
install_axe
