#!/usr/bin/env bash
# Makes the three 1 GiB images the deep-scan benchmark reads, into FOLDER:
#   clipmender-ntfs-bench-100k.img   the NTFS benchmark volume (bench/ntfs)
#   clipmender-exfat-bench-20k.img   the exFAT benchmark volume (bench/exfat)
#   clipmender-pictures-bench.img    random bytes with 300 pictures from
#                                    ImageMagick (JPEG, PNG, GIF, BMP, TIFF)
#                                    laid in at random 512-byte offsets, and
#                                    beside it IMG.tsv: offset | length |
#                                    type | sha256 per picture
#
#   make-deep-scan-images.sh FOLDER
#
# Each image is made once; a second run keeps what is there. The file-system
# volumes need root, FUSE, loop devices, mkntfs/ntfs-3g and
# mkfs.exfat/exfat-fuse; the pictures need convert and python3. Exits 77 when
# something is missing.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../bench-args.sh"
bench_args "make-deep-scan-images.sh FOLDER" 1 "$@"
dir=${1:?usage: make-deep-scan-images.sh FOLDER}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$dir"

bash "$here/../ntfs/make-bench-volume.sh" "$dir/clipmender-ntfs-bench-100k.img"
bash "$here/../exfat/make-bench-volume.sh" "$dir/clipmender-exfat-bench-20k.img"

out=$dir/clipmender-pictures-bench.img
[ -s "$out" ] && [ -s "$out.tsv" ] && exit 0
for tool in convert python3; do
  command -v $tool >/dev/null || { echo "make-deep-scan-images: $tool is not installed" >&2; exit 77; }
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
colours=(red-blue green-yellow orange-navy teal-pink gold-purple lime-maroon cyan-brown white-black)
kinds=(jpg jpg jpg png gif bmp tif jpg png jpg)
for i in $(seq 0 299); do
  kind=${kinds[i % 10]}
  w=$((64 + i * 397 % 1201))
  case $kind in
    png | bmp | tif) w=$((w / 3 + 32)) ;;
    gif) w=$((w / 2 + 32)) ;;
  esac
  h=$((w * 3 / 4))
  options=()
  [ "$kind" = jpg ] && options+=(-quality $((60 + i * 7 % 36)))
  [ "$kind" = jpg ] && [ $((i % 3)) -eq 0 ] && options+=(-interlace JPEG)
  [ "$kind" = tif ] && options+=(-compress lzw)
  convert -size ${w}x${h} -seed $i "plasma:${colours[i % 8]}" "${options[@]}" "$(printf '%s/%03d.%s' "$tmp" "$i" "$kind")"
done
python3 - "$tmp" "$out" <<'PY'
import hashlib, os, random, sys
tmp, out = sys.argv[1], sys.argv[2]
names = sorted(os.listdir(tmp))
pictures = [open(os.path.join(tmp, f), "rb").read() for f in names]
size = 1 << 30
r = random.Random(23)
free = (size - sum((len(p) + 511) // 512 * 512 for p in pictures)) // 512
cuts = sorted(r.sample(range(free), len(pictures)))
order = list(range(len(pictures)))
r.shuffle(order)
lines, pos, used = [], 0, 0
with open(out + ".part", "wb") as f:
    for cut, k in zip(cuts, order):
        picture = pictures[k]
        gap = (cut - used) * 512
        used = cut
        f.write(r.randbytes(gap)); pos += gap
        kind = names[k].rsplit(".", 1)[1]
        lines.append(f"{pos}\t{len(picture)}\t{kind}\t{hashlib.sha256(picture).hexdigest()}\n")
        f.write(picture); pos += len(picture)
        pad = -pos % 512
        f.write(r.randbytes(pad)); pos += pad
    f.write(r.randbytes(size - pos))
open(out + ".tsv", "w").write("".join(lines))
os.rename(out + ".part", out)
PY
