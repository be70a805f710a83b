#!/bin/bash
# Regenerates the seed corpus of raw_analysers from real tools: small
# pictures of each parsed kind and one EXIF block as the EXIF parser sees it.
set -euo pipefail
out=$(dirname "$0")/corpus
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
convert -size 16x12 -seed 3 plasma: "$tmp/p.ppm"
cjpeg "$tmp/p.ppm" >"$out/jfif.jpg"
cjpeg "$tmp/p.ppm" >"$out/exif.jpg"
exiftool -q -overwrite_original -JFIF:all= -Make=Acme -Model=Cam -DateTimeOriginal="2021:01:01 00:00:00" "$out/exif.jpg"
cjpeg -progressive "$tmp/p.ppm" >"$out/progressive.jpg"
python3 - "$out/exif.jpg" "$out/exif-block" <<'PY'
import sys
d = open(sys.argv[1], "rb").read()
n = int.from_bytes(d[4:6], "big")
open(sys.argv[2], "wb").write(d[6:4 + n])
PY
convert "$tmp/p.ppm" "$out/small.png"
convert "$tmp/p.ppm" BMP3:"$out/small.bmp"
convert "$tmp/p.ppm" -colors 8 "$out/small.gif"
convert "$tmp/p.ppm" "$out/small.psd"
convert "$tmp/p.ppm" -resize 16x16! "$tmp/i.png"
icotool -c -o "$out/small.ico" "$tmp/i.png"
icotool -c --cursor -o "$out/small.cur" "$tmp/i.png"
# A PSP header with one block, as the format lays them out.
python3 - "$out/header.psp" <<'PY'
import sys
head = b"Paint Shop Pro Image File\n\x1a" + bytes(5) + bytes(4)
block = b"~BK\x00" + bytes(2) + (600).to_bytes(4, "little") + bytes(600)
open(sys.argv[1], "wb").write(head + block)
PY
# MP3: a short stream tagged with ID3v2.3 and v1 and one with lame's own tag,
# both small.
python3 -c "import sys; sys.stdout.buffer.write(bytes(range(256)) * 90)" >"$tmp/t.raw"
lame --quiet -r -s 22.05 -b 32 "$tmp/t.raw" "$out/short.mp3"
id3v2 -t T -a A -y 2000 "$out/short.mp3"
lame --quiet -r -s 8 -b 8 --tt Title --ta Artist "$tmp/t.raw" "$out/lame-tag.mp3"
