#!/usr/bin/env bash
# Writes the seeds of the HFS+ volume fuzz target from the shared sample
# images (unpacked, as the image tests leave them in the build tree): each
# seed is the sample's volume header, rewritten to place its extents,
# catalog and attributes trees one after another from block 1, followed by
# those trees' used nodes (at most 24 per tree).
#
#   make-hfsplus-seeds.sh UNPACKED_IMAGE_DIR
set -euo pipefail
dir=${1:?usage: make-hfsplus-seeds.sh UNPACKED_IMAGE_DIR}
out=$(dirname "$0")/corpus
mkdir -p "$out"
python3 - "$dir" "$out" <<'PY'
import struct, sys
src, out = sys.argv[1:]
samples = [("hdi-hfsp", 40), ("hdi-hfsp-c", 40), ("hdi-hfsp-j", 40), ("keramics-hfsplus", 40),
           ("dfvfs-hfsplus", 0), ("nps-hfsjtest1", 0), ("lx-hfsx-j", 0), ("lx-gpt-hfsx", 2048)]
for name, start in samples:
    f = open(f"{src}/{name}.img", "rb")
    base = start * 512
    f.seek(base + 1024)
    header = bytearray(f.read(512))
    bs = struct.unpack(">I", header[40:44])[0]
    payload = b""
    block = (4096 + bs - 1) // bs
    for off in (192, 272, 352):  # extents, catalog, attributes fork data
        total = struct.unpack(">I", header[off + 12:off + 16])[0]
        extents = struct.unpack(">16I", header[off + 16:off + 80])
        data = b""
        for i in range(8):
            f.seek(base + extents[2 * i] * bs)
            data += f.read(extents[2 * i + 1] * bs)
        if total == 0 or len(data) < 512:
            header[off:off + 80] = bytes(80)
            continue
        ns = struct.unpack(">H", data[32:34])[0]
        # The highest node the header node's map marks as used.
        count = struct.unpack(">H", data[10:12])[0]
        offs = [struct.unpack(">H", data[ns - 2 * (i + 1):ns - 2 * i])[0] for i in range(count + 1)]
        bitmap = data[offs[2]:offs[3]] if count >= 3 else b"\x80"
        used = max((i * 8 + b for i, byte in enumerate(bitmap) for b in range(8) if byte & (0x80 >> b)), default=0) + 1
        keep = data[:min(used, 24) * ns]
        blocks = (len(keep) + bs - 1) // bs
        keep += bytes(blocks * bs - len(keep))
        fork = struct.pack(">QII", blocks * bs, 0, blocks) + struct.pack(">II", block, blocks) + bytes(56)
        header[off:off + 80] = fork
        payload += keep
        block += blocks
    volume_blocks = (4 << 20) // bs
    header[44:48] = struct.pack(">I", volume_blocks)
    free = min(struct.unpack(">I", header[48:52])[0], volume_blocks)
    header[48:52] = struct.pack(">I", free)
    if struct.unpack(">I", header[12:16])[0] > volume_blocks:
        header[12:16] = bytes(4)
    pad = (4096 + bs - 1) // bs * bs - 4096
    open(f"{out}/{name}", "wb").write(bytes(header) + bytes(pad) + payload)
PY
ls -la "$out"
