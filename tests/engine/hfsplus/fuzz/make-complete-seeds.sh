#!/usr/bin/env bash
# Writes the seeds of the complete-scan fuzz target: the volume target's
# seeds made from the samples (a header, then its trees' used nodes), and
# raw stretches of the samples where their catalogs' leaf nodes lie one
# after another (the first 64 KiB of each catalog file's first extent, with
# the volume header in front).
#   make-complete-seeds.sh UNPACKED_IMAGE_DIR
set -euo pipefail
dir=${1:?usage: make-complete-seeds.sh UNPACKED_IMAGE_DIR}
here=$(cd "$(dirname "$0")" && pwd)
out=$here/complete-corpus
mkdir -p "$out"
for seed in dfvfs-hfsplus hdi-hfsp-j keramics-hfsplus lx-gpt-hfsx nps-hfsjtest1; do
  cp "$here/corpus/$seed" "$out/$seed"
done
python3 - "$dir" "$out" <<'PY'
import struct, sys
src, out = sys.argv[1:]
for name, start in (("lx-hfsplus", 0), ("lx-hfsplus-jdel", 0)):
    img = open(f"{src}/{name}.img", "rb").read()
    base = start * 512
    header = img[base + 1024:base + 1536]
    bs = struct.unpack_from(">I", header, 40)[0]
    catalog = struct.unpack_from(">I", header, 272 + 16)[0] * bs
    open(f"{out}/leaves-{name}", "wb").write(header + img[base + catalog:base + catalog + (64 << 10)])
PY
ls -la "$out"
