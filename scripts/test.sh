#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite. Exits non-zero when any
# test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
cd "${KIV_BUILD_DIR:-build}"
ctest -j "$(nproc)" --output-on-failure --timeout 300
