#!/usr/bin/env bash
# Configures and builds into ./build (or $KIV_BUILD_DIR) with the options given.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${KIV_BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)"
