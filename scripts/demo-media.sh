#!/usr/bin/env bash
# Writes the demo show's sequence files into demo/media/sequences (or the
# sequences folder of MEDIA_DIR) with the project's show generator, unless
# they are already there.
#   scripts/demo-media.sh [BUILD_DIR [MEDIA_DIR]]
# KIV_HSEQGEN, when set, is the generator command (an emulator may lead it).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${1:-${KIV_BUILD_DIR:-build}}
GEN=${KIV_HSEQGEN:-$BUILD_DIR/src/hseqgen}
OUT=${2:-demo/media}/sequences
mkdir -p "$OUT"
make_show() {  # name seed seconds
  local file="$OUT/$1"
  [ -f "$file" ] && return 0
  $GEN -o "$file" -c 2048 -n $(( $3 * 40 )) -s 25 -f 2.0 -z zstd -S "$2"
}
make_show welcome.hseq 1 10
make_show song-1.hseq 2 30
make_show song-2.hseq 3 30
make_show song-3.hseq 4 30
