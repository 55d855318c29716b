#!/usr/bin/env bash
# Sets up, builds and runs kivd in the foreground on the bundled demo media
# directory (demo/media). Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
export KIV_MEDIA_DIR="$PWD/demo/media"
if [ -x scripts/demo-media.sh ]; then
  bash scripts/demo-media.sh "${KIV_BUILD_DIR:-build}"
fi
exec "${KIV_BUILD_DIR:-build}/src/kivd" -f "$@"
