#!/usr/bin/env bash
# Writes the demo show's songs into demo/media/music (or the music folder
# of MEDIA_DIR) with ffmpeg, and its sequence files into the sequences
# folder with the project's show generator, unless they are already there.
# Each sequence names its song in its "mf" header, which is how the demo
# playlist's "both" entries find them.
#   scripts/demo-media.sh [BUILD_DIR [MEDIA_DIR]]
# KIV_HSEQGEN, when set, is the generator command (an emulator may lead it).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${1:-${KIV_BUILD_DIR:-build}}
GEN=${KIV_HSEQGEN:-$BUILD_DIR/src/hseqgen}
MEDIA=${2:-demo/media}
OUT=$MEDIA/sequences
MUSIC=$MEDIA/music
mkdir -p "$OUT" "$MUSIC"
make_show() {  # name seed seconds song
  local file="$OUT/$1"
  [ -f "$file" ] && return 0
  $GEN -o "$file" -c 2048 -n $(( $3 * 40 )) -s 25 -f 2.0 -z zstd -S "$2" -m "$4"
}
make_song() {  # name seconds title "f1 f2 f3": a chord that swells twice a second
  local file="$MUSIC/$1"
  [ -f "$file" ] && return 0
  if ! command -v ffmpeg >/dev/null; then
    echo "demo-media: ffmpeg is not installed; $1 is not made and its sequence plays without sound" >&2
    return 0
  fi
  local f1 f2 f3
  read -r f1 f2 f3 <<<"$4"
  local expr="(0.12*sin(2*PI*$f1*t)+0.12*sin(2*PI*$f2*t)+0.12*sin(2*PI*$f3*t))*(0.7+0.3*sin(2*PI*2*t))"
  ffmpeg -hide_banner -loglevel error -nostdin -y \
    -f lavfi -i "aevalsrc=$expr:s=44100:c=stereo:d=$2" \
    -metadata title="$3" -metadata artist="kiv demo" -c:a libmp3lame -b:a 128k "$file"
}
make_song welcome.mp3 10 "Welcome" "262 330 392"
make_song song-1.mp3 30 "Song One" "196 247 294"
make_song song-2.mp3 30 "Song Two" "220 262 330"
make_song song-3.mp3 30 "Song Three" "175 220 262"
make_show welcome.hseq 1 10 welcome.mp3
make_show song-1.hseq 2 30 song-1.mp3
make_show song-2.hseq 3 30 song-2.mp3
make_show song-3.hseq 4 30 song-3.mp3
