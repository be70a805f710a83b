#!/usr/bin/env bash
# Writes the seeds of the exFAT fuzz targets from the images of
# tests/fixtures/exfat/make-exfat-images.sh:
# - entries-corpus: a cluster-size byte and a folder's clusters (a folder
#   of deleted entries, non-ASCII names, the folder of 200 files, and that
#   folder with a set whose time is impossible);
# - volume-corpus: the boot sector, the table's first 2 KiB and the cluster
#   heap's first 60 KiB.
#
#   make-seeds.sh FIXTURE_DIR
set -euo pipefail
fx=${1:?usage: make-seeds.sh FIXTURE_DIR}
here=$(dirname "$0")
mkdir -p "$here/entries-corpus" "$here/volume-corpus"
folder_sectors() {  # IMAGE PATH: the folder's sectors as istat lists them
  local entry
  entry=$(awk -F'\t' -v p="$2" '$2 == p { sub(/^d\/d (\* )?/, "", $1); sub(/:$/, "", $1); print $1; exit }' "$1.fls.txt")
  istat -f exfat "$1" "$entry" | sed -n '/^Sectors:/,$p' | tail -n +2 | tr ' ' '\n' | grep -v '^0\?$' | head -64
}
for variant in c4k c512; do
  img="$fx/$variant.img"
  python3 - "$img" "$here/volume-corpus/$variant" <<'PY'
import struct, sys
img, out = sys.argv[1:3]
data = open(img, 'rb').read(4 << 20)
fat, heap = struct.unpack_from('<I', data, 80)[0] * 512, struct.unpack_from('<I', data, 88)[0] * 512
open(out, 'wb').write(data[:512] + data[fat:fat + 2048] + data[heap:heap + 60 * 1024])
PY
  for path in gone names many; do
    { if [ "$variant" = c4k ]; then printf '\003'; else printf '\000'; fi
      for s in $(folder_sectors "$img" "$path"); do dd if="$img" bs=512 skip="$s" count=1 status=none; done
    } >"$here/entries-corpus/$variant-$path"
  done
done
# The folder of 200 files with one set's time impossible (badtime.img).
{ printf '\003'; for s in $(folder_sectors "$fx/badtime.img" many); do dd if="$fx/badtime.img" bs=512 skip="$s" count=1 status=none; done
} >"$here/entries-corpus/badtime-many"
