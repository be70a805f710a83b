#!/usr/bin/env bash
# make-three-volume-disk.sh OUTDIR: OUTDIR/disk.img, 48 MiB with an MBR and
# three 12 MiB partitions, NTFS, ext2 (no quick scan reads it) and NTFS, the
# NTFS ones holding files copied in with ntfscp; disk.mmls, and p1.fls and
# p3.fls (fls -r -p) of the NTFS ones. Exits 77 when a tool is missing.
set -euo pipefail

out=$1
for tool in sfdisk mkntfs ntfscp mkfs.ext2 fls mmls; do
  command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 77; }
done
mkdir -p "$out"
cd "$out"

truncate -s 48M disk.img
sfdisk -q disk.img <<'EOF'
label: dos
start=2048, size=12M, type=7
size=12M, type=83
size=12M, type=7
EOF

# A file of N bytes whose content depends on its name.
content() { head -c "$2" < <(yes "$1"); }

make_ntfs() {  # image label file...
  truncate -s 12M "$1"
  mkntfs -q -F -Q -s 512 -c 4096 -L "$2" "$1" >/dev/null 2>&1
  local img=$1
  shift 2
  for name in "$@"; do
    content "$name" 5000 >"src.$name"
    ntfscp -q "$img" "src.$name" "$name"
    rm -f "src.$name"
  done
}
make_ntfs p1.img First photo.jpg notes.txt song.mp3
truncate -s 12M p2.img
mkfs.ext2 -q -F p2.img >/dev/null
make_ntfs p3.img Third movie.avi archive.zip report.doc plain

starts=($(sfdisk -d disk.img | sed -n 's/.*start= *\([0-9]*\).*/\1/p'))
[ "${#starts[@]}" -eq 3 ] || { echo "sfdisk did not make three partitions" >&2; exit 1; }
for i in 1 2 3; do
  dd if=p$i.img of=disk.img bs=512 seek="${starts[$((i - 1))]}" conv=notrunc status=none
done
rm -f p?.img
mmls disk.img >disk.mmls
fls -r -p -o "${starts[0]}" disk.img >p1.fls
fls -r -p -o "${starts[2]}" disk.img >p3.fls
grep -q 'photo.jpg' p1.fls && grep -q 'report.doc' p3.fls || { echo "fls does not list the copied files" >&2; exit 1; }
