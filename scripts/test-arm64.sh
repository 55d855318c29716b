#!/usr/bin/env bash
# Cross-builds the project for arm64 (64-bit ARM boards) into ./build-arm64
# and runs the whole test suite under qemu-user emulation. Exits non-zero
# when any test fails. Needs root on Debian 12; installs what it needs.
#   scripts/test-arm64.sh [CTEST OPTIONS]      e.g. -R Scheduler
#   scripts/test-arm64.sh --setup-only         only install what it needs
# KIV_BUILD_DIR changes the build folder, KIV_TEST_JOBS the number of tests
# run at once (default 2; the emulator is CPU-bound).
#
# Tests start kivd, kivcmd and hsequtils as child processes, and kivd
# re-executes itself on restart, so every exec of an arm64 program must go
# through the emulator. The suite therefore runs in a user namespace with a
# binfmt_misc instance of its own (Linux 6.7 and later) in which the qemu
# handler is registered: nothing outside the run sees the registration. The
# run also gets a network namespace of its own with only loopback in it.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

bash scripts/setup.sh

# What the cross build and the emulation need, beside the host packages.
HOST_PACKAGES=(crossbuild-essential-arm64 qemu-user-static)
# The arm64 -dev packages CMakeLists.txt looks for.
ARM64_PACKAGES=(libjsoncpp-dev libcurl4-openssl-dev libzstd-dev zlib1g-dev libmicrohttpd-dev libgtest-dev
                libre2-dev libmosquitto-dev)
ARM64_PACKAGES+=(libavformat-dev libavcodec-dev libswresample-dev libswscale-dev libavutil-dev libsdl2-dev)
ARM64_PACKAGES+=(libdrm-dev libgraphicsmagick++1-dev libgpiod-dev)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing=()
for p in "${HOST_PACKAGES[@]}"; do installed "$p" || missing+=("$p"); done
for p in "${ARM64_PACKAGES[@]}"; do installed "$p:arm64" || missing+=("$p:arm64"); done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "test-arm64: missing packages: ${missing[*]}; run this script as root" >&2
    exit 1
  fi
  echo "test-arm64: installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    dpkg --add-architecture arm64
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  # --no-remove: never trade a host package for its arm64 twin.
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends --no-remove "${missing[@]}"
fi
[ "${1:-}" = --setup-only ] && exit 0

# The emulator must load the arm64 programs with the dynamic loader of the
# same glibc build as the multiarch libc.so.6. A prefix such as
# /usr/aarch64-linux-gnu (the cross toolchain's copy, another glibc build)
# pairs a foreign ld.so with this libc: the first pthread_create then walks
# the loader's stack-cache list at the wrong offset and never returns.
unset QEMU_LD_PREFIX

BUILD_DIR=${KIV_BUILD_DIR:-build-arm64}
start=$(date +%s)
KIV_BUILD_DIR=$BUILD_DIR nice -n 10 bash scripts/build.sh \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/aarch64-linux-gnu.cmake" -DKIV_BUILD_BENCH=OFF
built=$(date +%s)
echo "test-arm64: cross build took $((built - start)) s"

BINFMT_CONF=/usr/lib/binfmt.d/qemu-aarch64.conf
JOBS=${KIV_TEST_JOBS:-2}
# Runs inside the namespaces: private binfmt_misc with the qemu handler,
# loopback up, then the suite.
inner='set -e
mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
cat "$0" > /proc/sys/fs/binfmt_misc/register
ip link set lo up
cd "$1"; shift
exec nice -n 10 ctest -j "$JOBS" --output-on-failure --timeout 900 "$@"'

export JOBS
status=0
if unshare --user --map-root-user --mount --net --fork true 2>/dev/null &&
   unshare --user --map-root-user --mount sh -c 'mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc' 2>/dev/null; then
  unshare --user --map-root-user --mount --net --fork bash -c "$inner" "$BINFMT_CONF" "$BUILD_DIR" "$@" || status=$?
elif [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
  # An older kernel: use the machine's own registration of the emulator.
  echo "test-arm64: no private binfmt_misc here; using the machine's qemu-aarch64 handler"
  (cd "$BUILD_DIR" && nice -n 10 ctest -j "$JOBS" --output-on-failure --timeout 900 "$@") || status=$?
else
  echo "test-arm64: cannot run arm64 programs started by the tests: this kernel has no private" >&2
  echo "test-arm64: binfmt_misc and no qemu-aarch64 handler is registered (see binfmt-support)" >&2
  exit 1
fi
echo "test-arm64: tests took $(( $(date +%s) - built )) s"
exit $status
