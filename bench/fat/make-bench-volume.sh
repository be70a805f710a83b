#!/usr/bin/env bash
# Makes the FAT32 volume the quick-scan benchmark reads: 100,000 small files
# in 100 folders, every tenth of them deleted again, written by mtools into
# a 512 MiB image (no root needed).
#
#   make-bench-volume.sh IMAGE
#
# Exits 77 when a tool is missing. An existing IMAGE is left as it is.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../bench-args.sh"
bench_args "make-bench-volume.sh IMAGE" 1 "$@"
img=${1:?usage: make-bench-volume.sh IMAGE}
[ -s "$img" ] && exit 0
for tool in mkfs.fat mcopy mmd mdel python3; do
  command -v "$tool" >/dev/null 2>&1 || { echo "make-bench-volume: tool not installed: $tool" >&2; exit 77; }
done
export MTOOLS_SKIP_CHECK=1 TZ=UTC
tmp="$img.part"
src=$(mktemp -d /tmp/clipmender-fat-bench.XXXXXX)
trap 'rm -rf "$src" "$tmp"' EXIT
python3 - "$src" <<'PY'
import os, sys
root = sys.argv[1]
for d in range(100):
    folder = os.path.join(root, "folder-%03d" % d)
    os.mkdir(folder)
    for f in range(1000):
        # Long names whose first six characters differ, so that mtools finds
        # each short name at its first try.
        with open(os.path.join(folder, "%04d-%02d file.txt" % (f, d % 100)), "w") as out:
            out.write("folder %d file %d\n" % (d, f))
PY
truncate -s 512M "$tmp"
mkfs.fat -F 32 -s 1 -n FATBENCH "$tmp" >/dev/null
for d in "$src"/folder-*; do
  mcopy -s -i "$tmp" "$d" ::/
  mdel -i "$tmp" "::/$(basename "$d")/???0-* file.txt"
done
mv "$tmp" "$img"
