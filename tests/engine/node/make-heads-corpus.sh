#!/usr/bin/env bash
# Seeds for the file_heads fuzz target: small files ImageMagick, ffmpeg and
# sox write, each behind the byte that names its type (FileHeadsFuzzer.cpp's
# list) and two bytes of runs: laid straight, with the file's own size, and
# in pieces.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out="$here/heads-corpus"
rm -rf "$out" && mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
noise="convert -seed 3 -size 24x16 xc: +noise Random"
$noise -quality 80 a.jpg
$noise l.png
$noise h.tif
$noise m.gif
$noise n.bmp
clip="ffmpeg -v error -nostdin -f lavfi -i testsrc=size=32x24:rate=2:duration=0.5 -c:v mjpeg -q:v 20"
$clip -f mov c.mov
$clip -f mp4 d.mp4
$clip -f avi o.avi
$clip -f matroska q.mkv
sox -n -r 4000 -b 8 p.wav synth 0.05 sine 300
# name index (FileHeadsFuzzer.cpp), file
for pair in "0 a.jpg" "2 c.mov" "3 d.mp4" "7 h.tif" "11 l.png" "12 m.gif" "13 n.bmp" "14 o.avi" "15 p.wav" "16 q.mkv"; do
  set -- $pair
  for runs in "02 00" "03 00" "01 02"; do
    {
      printf "\\x$(printf '%02x' "$1")\\x${runs% *}\\x${runs#* }"
      cat "$2"
      # Straight runs read whole 512-byte clusters: the file padded to one.
      [ "$runs" != "02 00" ] || head -c $(((512 - $(stat -c %s "$2") % 512) % 512)) /dev/zero
    } >"$out/${2%.*}-${runs/ /}"
  done
done
ls "$out" | wc -l
