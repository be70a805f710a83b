#!/usr/bin/env bash
# Writes the builder fuzz target's seeds from the images of
# tests/fixtures/exfat/make-exfat-disk.sh: the non-zero sectors of a
# volume's first 4,496 sectors (its tables, root and first folders), as
# records of a sector number (from the volume's start) and the sector, in
# disk order, and once in reverse order (the halves of split sets, boot
# sectors and their backups then come the other way round).
#
#   make-builder-seeds.sh FIXTURE_DIR
set -euo pipefail
fx=${1:?usage: make-builder-seeds.sh FIXTURE_DIR}
here=$(dirname "$0")
mkdir -p "$here/builder-corpus"
seed() {
  python3 - "$fx/$1.img" "$2" "$here/builder-corpus/$3" "$4" <<'PY'
import struct, sys
img, start, out, order = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
span = 4096 + 400
with open(img, 'rb') as f:
    f.seek(start * 512)
    data = f.read(span * 512)
records = []
for s in range(len(data) // 512):
    sector = data[s * 512:(s + 1) * 512]
    if any(sector):
        records.append(struct.pack('<I', s) + sector)
if order == 'reversed':
    records.reverse()
open(out, 'wb').write(b''.join(records))
PY
}
seed disk 2048 disk forward
seed disk 2048 disk-reversed reversed
seed noroot 2048 noroot forward
seed stale 0 stale forward
