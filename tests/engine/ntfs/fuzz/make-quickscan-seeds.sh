#!/usr/bin/env bash
# Writes the seeds of the quick-scan fuzz target from the images of
# make-ntfs-images.sh: each seed is an image's boot sector followed by its
# $MFT record 0, the root folder's record and a few file records (deleted,
# resident, non-resident, compressed, sparse), packed one after another.
#
# With REUSE_DIR (make-ntfs-reuse-images.sh's images), two more: reuse.img's
# records 0 to 7 in their places ($Bitmap is 6) and its deleted files, and
# claims.img's records 0 to 15 and its three deleted files whose runs
# overlap (numbered from 16, so that they make nodes).
#
#   make-quickscan-seeds.sh FIXTURE_DIR [REUSE_DIR]
set -euo pipefail
fx=${1:?usage: make-quickscan-seeds.sh FIXTURE_DIR [REUSE_DIR]}
out=$(dirname "$0")/quickscan-corpus
mkdir -p "$out"
seed() {
  local variant=$1 name=$2; shift 2
  python3 - "$fx/$variant.img" "$fx/$variant.mft" "$fx/$variant.img.fsstat.txt" "$fx/$variant.img.fls.txt" "$out/$name" "$@" <<'PY'
import re, sys
img, mft, fsstat, fls, out, *paths = sys.argv[1:]
size = int(re.search(r'Size of MFT Entries: (\d+)', open(fsstat).read()).group(1))
records = {}
for line in open(fls, encoding='utf-8'):
    m = re.match(r'^\S+ (?:\* )?(\d+)(?:-\d+-\d+)?:\t(.*)$', line.rstrip('\n'))
    if m:
        records.setdefault(m.group(2), int(m.group(1)))
table = open(mft, 'rb').read()
data = open(img, 'rb').read(512)
for n in [0, 5] + [records[p] for p in paths]:
    data += table[n * size:(n + 1) * size]
open(out, 'wb').write(data)
PY
}
seed default default-deleted gone gone/deleted-small.txt gone/deleted-big.bin gone/sparse-deleted.bin
seed default default-compressed gone-compressed gone-compressed/text-200k.txt small/resident-500.bin
seed c512 c512-fragmented gone gone/fragmented.bin names/😀\ smile.txt
seed s4096 s4096-resident small/one-byte.txt
# deleted_seed IMG OUT FIRST FOLDERS: IMG's boot sector, its records 0 to
# FIRST - 1, then its deleted files under FOLDERS (a regular expression).
deleted_seed() {
  python3 - "$@" <<'PY'
import re, subprocess, sys
img, out, first, folders = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
table = subprocess.run(['icat', img, '0'], capture_output=True, check=True).stdout
fls = subprocess.run(['fls', '-r', '-p', img], capture_output=True, text=True, check=True).stdout
deleted = sorted({int(m.group(1)) for m in re.finditer(r'^\S+ \* (\d+)-128-\d+:\t(?:%s)/' % folders, fls, re.M)})
data = open(img, 'rb').read(512)
for n in list(range(first)) + deleted:
    data += table[n * 1024:(n + 1) * 1024]
open(out, 'wb').write(data)
PY
}
if [ -n "${2:-}" ]; then
  deleted_seed "$2/reuse.img" "$out/reuse-bitmap" 8 gone
  deleted_seed "$2/claims.img" "$out/claims-overlap" 16 'gone|new'
fi
