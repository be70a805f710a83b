#!/usr/bin/env bash
# Seeds for the node_records fuzz target: partition records packed by the
# struct oracle, the cluster runs of a fragmented file on a FAT16 image made
# by mkfs.fat and mtools, and names with leading dots and blanks.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out="$here/corpus"
mkdir -p "$out"
python3 "$here/partition_record.py" random 7 3 | while read -r hex _; do
  python3 -c 'import sys; sys.stdout.buffer.write(bytes.fromhex(sys.argv[1]))' "$hex" > "$out/record-${hex:0:8}"
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
export MTOOLS_SKIP_CHECK=1
mkfs.fat -C -F 16 -S 512 -s 1 img 4096 >/dev/null
for i in 1 2 3 4 5; do head -c $((i * 1500)) /dev/urandom > f$i; mcopy -i img f$i ::/; done
mdel -i img ::/f2 ::/f4 && head -c 20000 /dev/urandom > big && mcopy -i img big ::/
# Each cluster as a 16-byte run (counted from cluster 2, length 1), then a sparse run.
mshowfat -i img ::/big | grep -o '<[0-9-]*>' | tr -d '<>' | python3 -c '
import struct, sys
for r in sys.stdin.read().split():
    a, _, b = r.partition("-")
    for c in range(int(a), int(b or a) + 1):
        sys.stdout.buffer.write(struct.pack("<qq", c - 2, 1))
sys.stdout.buffer.write(struct.pack("<qq", -1, 4))' > "$out/fat16-chain-runs"
printf ' . ..Trash' > "$out/name-dots"
printf '...' > "$out/name-only-dots"
