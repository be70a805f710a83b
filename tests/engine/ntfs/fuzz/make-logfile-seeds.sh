#!/usr/bin/env bash
# Writes the seeds of the $LogFile fuzz target from scenarios of
# tests/fixtures/ntfs/logfile/make-scenario.py (run as root, FUSE needed):
# each seed is the geometry byte, fragmented.bin's record with its runs
# cleared, and the record pages of one log (the plain one and a few hostile
# variants), at most four pages each (a few KiB).
#
#   make-logfile-seeds.sh SCRATCH_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
scratch=${1:?usage: make-logfile-seeds.sh SCRATCH_DIR}
out=$here/logfile-corpus
mkdir -p "$out"
make() {  # cluster size, geometry byte, seed name prefix, hostile variants
  local dir=$scratch/c$1
  python3 "$here/../../../fixtures/ntfs/logfile/make-scenario.py" --out "$dir" --cluster-size "$1" \
    ${4:+--hostile "$4"} >/dev/null
  python3 - "$dir" "$2" "$out/$3" <<'PY'
import json, sys
d, geometry, prefix = sys.argv[1], int(sys.argv[2]), sys.argv[3]
m = json.load(open(f"{d}/manifest.json"))
f = next(f for f in m["files"] if f["path"] == "fragmented.bin")
record = open(f"{d}/records/{f['mft']}-cleared.bin", "rb").read()[:1024]
start = m["log"]["log_clusters"][0][1] * m["volume"]["cluster_size"]
def seed(image, name):
    with open(f"{d}/{image}", "rb") as img:
        img.seek(start + 4 * 4096)
        pages = img.read(4 * 4096)
    while pages[-4096:] == b"\xff" * 4096 or pages[-4096:] == bytes(4096):
        pages = pages[:-4096]
    open(f"{prefix}-{name}", "wb").write(bytes([geometry]) + record + pages)
seed("volume.img", "plain")
for name, v in m.get("variants", {}).items():
    seed(v["image"], name)
PY
}
make 4096 0 c4k undo-outside,huge-length,overrun-length,short-records
make 512 1 c512
