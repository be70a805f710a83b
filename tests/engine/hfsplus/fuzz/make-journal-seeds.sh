#!/usr/bin/env bash
# Writes the seeds of the journal fuzz target from the journal-recovery
# fixture (lx-hfsplus-jdel.img, made by tests/fixtures/hfsplus) and the real
# journaled sample (nps-hfsjtest1.img): the non-zero sectors of the volume
# header, journal info block and journal, and the header node of each tree,
# as patches (u32 offset, u16 length, bytes).
#   make-journal-seeds.sh FIXTURE_DIR
set -euo pipefail
dir=${1:?usage: make-journal-seeds.sh FIXTURE_DIR}
out=$(cd "$(dirname "$0")" && pwd)/journal-corpus
mkdir -p "$out"
python3 - "$dir" "$out" <<'PY'
import struct, sys
src, out = sys.argv[1:]
for name in ("lx-hfsplus-jdel", "nps-hfsjtest1"):
    img = open(f"{src}/{name}.img", "rb").read()
    bs = struct.unpack_from(">I", img, 1024 + 40)[0]
    ib = struct.unpack_from(">I", img, 1024 + 12)[0] * bs
    joff, jsize = struct.unpack_from(">QQ", img, ib + 36)
    spans = [(1024, 512), (ib, 512)]
    for o in (192, 272, 352):
        start = struct.unpack_from(">I", img, 1024 + o + 16)[0] * bs
        node = struct.unpack_from(">H", img, start + 32)[0] or 512
        spans.append((start, node))
    seed = bytearray()
    def patch(off, data):
        if any(data) and off + len(data) <= 8 << 20:
            seed.extend(struct.pack("<IH", off, len(data)) + data)
    for off, n in spans:
        patch(off, img[off:off + n])
    for s in range(joff, min(joff + jsize, len(img)), 512):
        patch(s, img[s:s + 512])
    open(f"{out}/{name}", "wb").write(seed)
PY
ls -la "$out"
