#!/usr/bin/env bash
# The long night: kivd plays a repeating scheduled show to a receiver of
# every protocol while its memory, descriptors, threads, log and frames are
# reported each minute (build/bench/bench_soak). Not part of CI.
#   bench/soak.sh [MINUTES]         the show on a quiet machine, then the same
#                                   beside two CPU burners and a parallel
#                                   compile (30 minutes each by default), and
#                                   the two side by side: lost frames and
#                                   lateness p99 and max at each receiver
#   bench/soak.sh quiet [MINUTES]   only the quiet run
#   bench/soak.sh loaded [MINUTES]  only the run under load
#   bench/soak.sh asan [MINUTES]    the daemon of the ASan+UBSan build (5 by default)
# Needs root (the Twinkly receiver's web side listens on port 80 of a
# loopback address). Exits non-zero when a frame was lost or garbled, the
# daemon died or did not stop cleanly, or a sanitizer reported. What else
# runs on the machine counts too: the load average is printed with each run.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=both
case "${1:-}" in
  asan|quiet|loaded) mode=$1; shift ;;
esac
bash scripts/setup.sh
KIV_BUILD_DIR=build bash scripts/build.sh
if [ "$mode" = asan ]; then
  KIV_BUILD_DIR=build-asan bash scripts/build.sh -DKIV_SANITIZE=address -DKIV_BUILD_BENCH=OFF
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
  export KIV_DAEMON_BUILD_DIR=$PWD/build-asan
  exec build/bench/bench_soak --minutes "${1:-5}" --label asan
fi
minutes=${1:-30}

# The load: two processes that only spin, and a compile of this project
# with two jobs (no compiler cache, started again whenever it finishes).
load_pids=()
scratch=$(mktemp -d)
start_load() {
  for _ in 1 2; do
    setsid bash -c 'while :; do :; done' &
    load_pids+=($!)
  done
  setsid bash -c "while :; do rm -rf '$scratch/build'; \
    cmake -S . -B '$scratch/build' -DKIV_BUILD_TESTS=OFF -DKIV_BUILD_BENCH=OFF -DCMAKE_CXX_COMPILER_LAUNCHER= >/dev/null && \
    CCACHE_DISABLE=1 cmake --build '$scratch/build' -j2 >/dev/null 2>&1; done" &
  load_pids+=($!)
}
stop_load() {
  for p in "${load_pids[@]}"; do kill -- "-$p" 2>/dev/null || true; done
  load_pids=()
}
trap 'stop_load; rm -rf "$scratch"' EXIT

run() {  # label
  local out="$scratch/$1.txt" rc=0
  echo "=== $1 run: $minutes minutes ($( [ "$1" = loaded ] && echo 'two CPU burners and a parallel compile beside it' || echo 'nothing of ours beside it'))"
  build/bench/bench_soak --minutes "$minutes" --label "$1" | tee "$out" || rc=$?
  return $rc
}

rc=0
if [ "$mode" != loaded ]; then run quiet || rc=$?; fi
if [ "$mode" != quiet ]; then
  start_load
  sleep 20  # the compile gets going
  run loaded || rc=$?
  stop_load
fi

echo
echo "=== lost frames and lateness at each receiver (ms after the frame's place on its play's grid)"
printf '%-8s %-11s %9s %6s %9s %9s\n' run receiver frames lost p99_ms max_ms
{ cat "$scratch"/quiet.txt "$scratch"/loaded.txt 2>/dev/null || true; } | awk '$1 == "SUMMARY" { printf "%-8s %-11s %9d %6d %9.1f %9.1f\n", $2, $3, $4, $5, $6, $7 }'
echo "goal under load: 0 lost and no frame more than 25 ms late at any receiver"
exit $rc
