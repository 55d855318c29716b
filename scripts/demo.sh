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
http_port=$(sed -n 's/^HTTPPort *= *//p' "$KIV_MEDIA_DIR/settings" 2>/dev/null | tail -n 1 || true)
echo "demo: watch the show in a browser: http://127.0.0.1:${http_port:-32320}/virtualdisplay.html"
exec "${KIV_BUILD_DIR:-build}/src/kivd" -f "$@"
