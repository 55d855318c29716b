#!/usr/bin/env bash
# Cross-builds the project for arm64 (64-bit ARM boards) into ./build-arm64
# and runs the whole test suite under qemu-user emulation. Exits non-zero
# when any test fails. Needs root on Debian 12; whatever this machine has
# installed, the build and the tests run in the project's own Debian 12
# root (scripts/arm64-env.sh), made or completed here.
#   scripts/test-arm64.sh [CTEST OPTIONS]      e.g. -R Scheduler
#   scripts/test-arm64.sh --setup-only         only make the root
#   scripts/test-arm64.sh --bench NAME [ARGS]  builds the benchmarks too and
#                                              runs bench/NAME under emulation
#                                              (its ratios only mean anything:
#                                              set them beside a host run)
# KIV_BUILD_DIR changes the build folder, KIV_TEST_JOBS the number of tests
# run at once (default 2; the emulator is CPU-bound), KIV_TEST_TIME_SCALE
# how many times longer than natively the tests wait for something to
# happen (default 5: every arm64 program runs several times slower here;
# timing bounds are not stretched by it).
#
# Tests start kivd, kivcmd and hsequtils as child processes, and kivd
# re-executes itself on restart, so every exec of an arm64 program must go
# through the emulator: the run registers it in a binfmt_misc of its own
# (Linux 6.7 and later; older kernels get a registration in the machine's
# binfmt_misc for the length of the run). The run also gets a network
# namespace of its own with only loopback in it.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
# shellcheck source=scripts/arm64-env.sh
source scripts/arm64-env.sh

if [ "$(id -u)" -ne 0 ]; then
  echo "test-arm64: run this script as root (it makes a Debian root and namespaces)" >&2
  exit 1
fi
arm64_env_ensure
[ "${1:-}" = --setup-only ] && exit 0

if ! arm64_env_private_binfmt; then
  echo "test-arm64: no private binfmt_misc on this kernel; registering the emulator in the machine's binfmt_misc for this run"
  export KIV_BINFMT=global
  # Taken away however the run ends (bash runs the EXIT trap on errors, INT,
  # TERM and HUP too); only a SIGKILL can leave it behind.
  trap 'arm64_env_binfmt_global off' EXIT
  arm64_env_binfmt_global on
fi

BENCH=
if [ "${1:-}" = --bench ]; then
  BENCH=${2:?test-arm64: --bench needs the name of a benchmark, e.g. bench_hseq}
  shift 2
fi

BUILD_DIR=${KIV_BUILD_DIR:-build-arm64}
start=$(date +%s)
arm64_env_run env KIV_BUILD_DIR="$BUILD_DIR" bash scripts/build.sh \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/aarch64-linux-gnu.cmake" -DKIV_BUILD_BENCH="$([ -n "$BENCH" ] && echo ON || echo OFF)"
built=$(date +%s)
echo "test-arm64: cross build took $((built - start)) s"

if [ -n "$BENCH" ]; then
  arm64_env_run "$BUILD_DIR/bench/$BENCH" "$@"
  exit $?
fi

status=0
arm64_env_run env KIV_TEST_TIME_SCALE="${KIV_TEST_TIME_SCALE:-5}" nice -n 10 ctest --test-dir "$BUILD_DIR" -j "${KIV_TEST_JOBS:-2}" --output-on-failure \
  --timeout 900 "$@" || status=$?
echo "test-arm64: tests took $(( $(date +%s) - built )) s"
exit $status
