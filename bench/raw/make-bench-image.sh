#!/bin/bash
# A 1 GiB image of random bytes with pictures from real tools laid in at
# sector offsets, one every 2 MiB or so: OUT (default $TMPDIR or /tmp)/raw-bench.img.
# Made once; a second run reuses it.
set -euo pipefail
out=${1:-${TMPDIR:-/tmp}}/raw-bench.img
[ -s "$out" ] && { echo "$out"; exit 0; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
convert -size 800x600 -seed 5 plasma:red-blue "$tmp/a.ppm"
convert -size 320x240 -seed 6 plasma:green-blue "$tmp/b.ppm"
cjpeg -quality 85 "$tmp/a.ppm" >"$tmp/1.jpg"
cjpeg -progressive "$tmp/b.ppm" >"$tmp/2.jpg"
cp "$tmp/2.jpg" "$tmp/3.jpg"
exiftool -q -overwrite_original -JFIF:all= -Make=Canon -Model="Canon EOS 5D" "$tmp/3.jpg"
convert "$tmp/b.ppm" "$tmp/4.png"
convert "$tmp/b.ppm" BMP3:"$tmp/5.bmp"
convert "$tmp/b.ppm" -colors 64 "$tmp/6.gif"
convert "$tmp/b.ppm" "$tmp/7.psd"
convert "$tmp/b.ppm" -resize 32x32 "$tmp/i.png"
icotool -c -o "$tmp/8.ico" "$tmp/i.png"
python3 - "$tmp" "$out" <<'PY'
import os, random, sys
tmp, out = sys.argv[1], sys.argv[2]
files = [open(os.path.join(tmp, f), "rb").read() for f in sorted(os.listdir(tmp)) if f[0].isdigit()]
r = random.Random(11)
size, pos, i = 1 << 30, 0, 0
with open(out + ".part", "wb") as f:
    while pos < size:
        gap = r.randrange(256, 4096) * 512
        data = r.randbytes(min(gap, size - pos))
        f.write(data); pos += len(data)
        if pos >= size: break
        pic = files[i % len(files)]; i += 1
        pic = pic[: size - pos]
        f.write(pic); pos += len(pic)
        pad = (-pos) % 512
        f.write(r.randbytes(pad)); pos += pad
os.rename(out + ".part", out)
PY
echo "$out"
