#!/bin/sh
# Redraws Velmora's image resources with ImageMagick 6 (Debian package "imagemagick").
#
#   res/select.png     64x64 RGBA  - blue outlined square with a pointer arrow into it
#   res/download.png   64x64 RGBA  - blue outlined down arrow above an orange bar
#   app/velmora.ico    256x256 32-bit application icon (blue board + download arrow)
#
# Usage: sh res/make-icons.sh          (from any directory)
# Set CONVERT to override the ImageMagick binary (default /usr/bin/convert).
set -eu

CONVERT=${CONVERT:-/usr/bin/convert}
HERE=$(cd "$(dirname "$0")" && pwd)
RES=$HERE
APP=$HERE/../app

BLUE='#1f6fd1'
DARKBLUE='#17529c'
LIGHTBLUE='#d6e6fa'
ORANGE='#f28c1c'

# Options giving small, plain 8-bit RGBA PNGs without timestamps or text chunks.
PNGOPTS="-strip -define png:compression-level=9 -define png:compression-filter=5 -define png:color-type=6 -define png:bit-depth=8 -define png:exclude-chunks=date,time"

# --- select.png -------------------------------------------------------------
# Outlined square (upper left) and a mouse-pointer arrow whose tip sits inside
# the square, body pointing out towards the lower right.
"$CONVERT" -size 64x64 xc:none \
    -fill none -stroke "$BLUE" -strokewidth 4 \
    -draw "rectangle 5,5 41,41" \
    -fill "$BLUE" -stroke white -strokewidth 2 -draw "stroke-linejoin round \
        polygon 24,24 24,56 32,48 38,61 45,58 39,45 51,45" \
    $PNGOPTS "PNG32:$RES/select.png"

# --- download.png -----------------------------------------------------------
# Downward arrow drawn as a blue outline with a pale fill, orange bar below.
"$CONVERT" -size 64x64 xc:none \
    -fill "$LIGHTBLUE" -stroke "$BLUE" -strokewidth 4 \
    -draw "stroke-linejoin round \
        polygon 24,4 40,4 40,24 52,24 32,46 12,24 24,24" \
    -fill "$ORANGE" -stroke none \
    -draw "roundrectangle 8,52 55,59 3,3" \
    $PNGOPTS "PNG32:$RES/download.png"

# --- velmora.ico ------------------------------------------------------------
# A blue circuit board with gold pins on every side, a white download arrow
# on it and an orange bar underneath the arrow.
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT INT TERM

PINS=""
for i in 0 1 2 3 4 5; do
    p=$((58 + i * 26))
    q=$((p + 10))
    PINS="$PINS rectangle $p,16 $q,44 rectangle $p,212 $q,240"
    PINS="$PINS rectangle 16,$p 44,$q rectangle 212,$p 240,$q"
done

"$CONVERT" -size 256x256 xc:none \
    -fill '#c9a227' -stroke none -draw "$PINS" \
    -fill "$BLUE" -stroke "$DARKBLUE" -strokewidth 6 \
    -draw "roundrectangle 36,36 219,219 22,22" \
    -fill none -stroke '#5a97e3' -strokewidth 3 \
    -draw "roundrectangle 52,52 203,203 12,12" \
    -fill white -stroke none \
    -draw "polygon 110,66 146,66 146,116 176,116 128,166 80,116 110,116" \
    -fill "$ORANGE" \
    -draw "roundrectangle 78,178 177,192 6,6" \
    -strip "PNG32:$TMP/icon256.png"

"$CONVERT" "$TMP/icon256.png" -define icon:auto-resize=256 "$APP/velmora.ico"
