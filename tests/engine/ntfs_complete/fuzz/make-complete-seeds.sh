#!/usr/bin/env bash
# Makes the seed corpus of the complete-scan fuzz target: the first 40 KiB
# (boot sector and the first master-file-table records) of volumes that
# mkntfs makes with 512-byte and 4 KiB clusters, and the same with the boot
# sector zeroed; with the NTFS disk fixtures' folder, also the first 96 KiB of
# mbr.img's volume, whose table holds records of files (for the folder trees).
#
#   make-complete-seeds.sh CORPUS-DIR [DISK-FIXTURE-DIR]
set -euo pipefail
out=${1:?usage: make-complete-seeds.sh CORPUS-DIR}
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for cluster in 512 4096; do
  truncate -s 4M "$tmp/v.img"
  mkntfs -F -f -q -c "$cluster" "$tmp/v.img" >/dev/null 2>&1
  head -c 40960 "$tmp/v.img" >"$out/volume-c$cluster"
  rm -f "$tmp/v.img"
done
cp "$out/volume-c512" "$out/no-boot-c512"
dd if=/dev/zero of="$out/no-boot-c512" bs=512 count=1 conv=notrunc status=none
if [ -n "${2:-}" ]; then
  dd if="$2/mbr.img" of="$out/files-c4096" bs=512 skip=2048 count=192 status=none
fi
