#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite. Exits non-zero when any
# test fails.
#   scripts/test.sh          the normal build in ./build
#   scripts/test.sh asan     the same under ASan+UBSan in ./build-asan
#   scripts/test.sh tsan     the same under TSan in ./build-tsan
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
case "${1:-}" in
  "")   export KIV_BUILD_DIR=${KIV_BUILD_DIR:-build}; opts=() ;;
  asan) export KIV_BUILD_DIR=build-asan; opts=(-DKIV_SANITIZE=address -DKIV_BUILD_BENCH=OFF) ;;
  tsan) export KIV_BUILD_DIR=build-tsan; opts=(-DKIV_SANITIZE=thread -DKIV_BUILD_BENCH=OFF) ;;
  *) echo "usage: $0 [asan|tsan]" >&2; exit 2 ;;
esac
bash scripts/build.sh "${opts[@]}"
cd "$KIV_BUILD_DIR"
ctest -j "$(nproc)" --output-on-failure --timeout 900
