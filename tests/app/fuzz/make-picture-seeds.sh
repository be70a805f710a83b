#!/usr/bin/env bash
# Seeds for the picture-preview fuzz target: small pictures in the formats
# the previews decode, made by ImageMagick (and one with an EXIF orientation
# set by exiftool), written into picture-corpus beside this script.
set -euo pipefail
out=$(dirname "$0")/picture-corpus
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
convert -size 24x16 gradient:red-blue "$tmp/base.png"
for ext in png jpg gif bmp tif webp ico; do convert "$tmp/base.png" "$out/small.$ext"; done
convert "$tmp/base.png" -interlace JPEG "$out/progressive.jpg"
cp "$out/small.jpg" "$out/turned.jpg"
exiftool -q -overwrite_original -Orientation=6 -n "$out/turned.jpg"
