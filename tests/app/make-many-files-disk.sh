#!/usr/bin/env bash
# make-many-files-disk.sh OUTDIR: OUTDIR/disk.img, 52 MiB with an MBR and two
# 24 MiB FAT16 partitions (mkfs.fat) at 1 MiB and 25 MiB, each filled by
# mtools with 12 folders of 125 small notes (1500 files: more than the tree
# builder takes before it shows a first batch, so a quick scan keeps adding
# files under folders the windows already show); p1.fls and p2.fls
# (fls -r -p of each partition). Exits 77 when a tool is missing.
set -euo pipefail

out=$1
for tool in sfdisk mkfs.fat mcopy fls; do
  command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 77; }
done
export MTOOLS_SKIP_CHECK=1 TZ=UTC
mkdir -p "$out"
cd "$out"
rm -rf src disk.img

truncate -s 52M disk.img
sfdisk -q disk.img <<'EOF'
label: dos
start=2048, size=24M, type=6
size=24M, type=6
EOF

fill() {  # partition-number start-in-bytes folder-prefix
  local part=$1 offset=$2 prefix=$3 d f
  truncate -s 24M "p$part.img"
  mkfs.fat -F 16 -n "MANY$part" "p$part.img" >/dev/null
  mkdir -p "src/$part"
  for d in $(seq -w 0 11); do
    mkdir "src/$part/$prefix $d"
    for f in $(seq -w 0 124); do
      printf 'note %s of %s %s on partition %s\n' "$f" "$prefix" "$d" "$part" >"src/$part/$prefix $d/Note $d-$f.txt"
    done
  done
  mcopy -s -i "p$part.img" "src/$part"/* ::/
  dd if="p$part.img" of=disk.img bs=1M seek=$((offset / 1048576)) conv=notrunc status=none
  fls -r -p "p$part.img" >"p$part.fls"
  rm -f "p$part.img"
}
fill 1 $((1 << 20)) Album
fill 2 $((25 << 20)) Letters
rm -rf src
