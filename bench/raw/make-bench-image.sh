#!/bin/bash
# A 1 GiB image of random bytes with 100 JPEGs from ImageMagick laid in at
# random 512-byte offsets, the rest of each one's last sector random too:
# OUT (default $TMPDIR or /tmp)/raw-jpeg-bench.img, and beside it
# IMG.tsv, one line per picture: offset (bytes) | length | sha256.
# The pictures: 64 to 1,600 pixels wide, quality 60 to 95, every third
# progressive, every fourth with EXIF (make, model, date, a thumbnail).
# Made once; a second run reuses it.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../bench-args.sh"
bench_args "make-bench-image.sh [FOLDER]" 1 "$@"
out=${1:-${TMPDIR:-/tmp}}/raw-jpeg-bench.img
[ -s "$out" ] && [ -s "$out.tsv" ] && { echo "$out"; exit 0; }
for tool in convert exiftool python3; do
  command -v $tool >/dev/null || { echo "make-bench-image: $tool is not installed" >&2; exit 1; }
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
colours=(red-blue green-yellow orange-navy teal-pink gold-purple lime-maroon cyan-brown white-black)
exif=()
for i in $(seq 0 99); do
  w=$((64 + i * 397 % 1537)); h=$((w * 3 / 4))
  name=$(printf '%s/%03d.jpg' "$tmp" "$i")
  options=(-quality $((60 + i * 7 % 36)))
  [ $((i % 3)) -eq 0 ] && options+=(-interlace JPEG)
  convert -size ${w}x${h} -seed $i "plasma:${colours[i % 8]}" "${options[@]}" "$name"
  [ $((i % 4)) -eq 1 ] && exif+=("$name")
done
convert -size 160x120 -seed 1 plasma:red-blue "$tmp/thumb.jpg"
exiftool -q -overwrite_original -Make=Canon -Model="Canon EOS 80D" -DateTimeOriginal="2022:03:04 05:06:07" \
  "-ThumbnailImage<=$tmp/thumb.jpg" "${exif[@]}"
rm "$tmp/thumb.jpg"
python3 - "$tmp" "$out" <<'PY'
import hashlib, os, random, sys
tmp, out = sys.argv[1], sys.argv[2]
pictures = [open(os.path.join(tmp, f), "rb").read() for f in sorted(os.listdir(tmp))]
size = 1 << 30
r = random.Random(11)
free = (size - sum((len(p) + 511) // 512 * 512 for p in pictures)) // 512
cuts = sorted(r.sample(range(free), len(pictures)))
lines, pos = [], 0
with open(out + ".part", "wb") as f:
    used = 0
    for cut, picture in zip(cuts, pictures):
        gap = (cut - used) * 512
        used = cut
        f.write(r.randbytes(gap)); pos += gap
        lines.append(f"{pos}\t{len(picture)}\t{hashlib.sha256(picture).hexdigest()}\n")
        f.write(picture); pos += len(picture)
        pad = -pos % 512
        f.write(r.randbytes(pad)); pos += pad
    f.write(r.randbytes(size - pos))
open(out + ".tsv", "w").write("".join(lines))
os.rename(out + ".part", out)
PY
echo "$out"
