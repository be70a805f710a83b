#!/usr/bin/env bash
# Writes the complete-scan fuzz target's seeds from the first partition of
# the images of tests/fixtures/exfat/make-exfat-disk.sh: its non-zero
# sectors up to a few hundred past the cluster heap's start, as records of
# a sector number (from the partition's start) and the sector.
#
#   make-complete-seeds.sh FIXTURE_DIR
set -euo pipefail
fx=${1:?usage: make-complete-seeds.sh FIXTURE_DIR}
here=$(dirname "$0")
mkdir -p "$here/complete-corpus"
for variant in disk nomain noboot noroot; do
  python3 - "$fx/$variant.img" "$here/complete-corpus/$variant" <<'PY'
import struct, sys
img, out = sys.argv[1:3]
start, span = 2048, 4096 + 400
with open(img, 'rb') as f:
    f.seek(start * 512)
    data = f.read(span * 512)
records = b''
for s in range(span):
    sector = data[s * 512:(s + 1) * 512]
    if any(sector):
        records += struct.pack('<I', s) + sector
open(out, 'wb').write(records)
PY
done
