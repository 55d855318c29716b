#!/usr/bin/env bash
# The long night: kivd plays a repeating scheduled show to a receiver of
# every protocol while its memory, descriptors, threads, log and frames are
# reported each minute (build/bench/bench_soak). Not part of CI.
#   bench/soak.sh [MINUTES]        the normal build, 60 minutes by default
#   bench/soak.sh asan [MINUTES]   the daemon of the ASan+UBSan build (5 by default)
# Needs root (the Twinkly receiver's web side listens on port 80 of a
# loopback address). Exits non-zero when a frame was lost or garbled, the
# daemon died or did not stop cleanly, or a sanitizer reported.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=normal
if [ "${1:-}" = "asan" ]; then
  mode=asan
  shift
fi
bash scripts/setup.sh
KIV_BUILD_DIR=build bash scripts/build.sh
if [ "$mode" = asan ]; then
  minutes=${1:-5}
  KIV_BUILD_DIR=build-asan bash scripts/build.sh -DKIV_SANITIZE=address -DKIV_BUILD_BENCH=OFF
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
  export KIV_DAEMON_BUILD_DIR=$PWD/build-asan
else
  minutes=${1:-60}
fi
exec build/bench/bench_soak --minutes "$minutes"
