#!/usr/bin/env bash
# The HFS+ benchmark's images, made once into DIR and kept there:
#   lx-hfsplus.img       the largest HFS+ sample (64 MiB, 779 files), unpacked
#   lx-hfsplus-1g.img    1 GiB of random bytes with that volume at sector 2048
#
#   make-bench-disk.sh DIR   (CLIPMENDER_SHARED_FIXTURES names the samples'
#                             folder, else ../shared/fixtures beside the checkout)
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../bench-args.sh"
bench_args "make-bench-disk.sh DIR" 1 "$@"
dir=${1:?usage: make-bench-disk.sh DIR}
here=$(cd "$(dirname "$0")" && pwd)
shared=${CLIPMENDER_SHARED_FIXTURES:-$here/../../../shared/fixtures}/hfsplus
mkdir -p "$dir"
volume=$dir/lx-hfsplus.img
disk=$dir/lx-hfsplus-1g.img
if [ ! -f "$volume" ]; then
  gunzip -c "$shared/lx-hfsplus.img.gz" >"$volume.part"
  mv "$volume.part" "$volume"
fi
if [ ! -f "$disk" ]; then
  head -c 1G /dev/urandom >"$disk.part"
  dd if="$volume" of="$disk.part" bs=512 seek=2048 conv=notrunc status=none
  mv "$disk.part" "$disk"
fi
