#!/usr/bin/env bash
# Real LZNT1 compression units for the decoder's tests and fuzz seeds: files
# written by ntfs-3g into a compressed folder of an image made by mkntfs,
# their compressed clusters read back at the places ntfsinfo reports, cut at
# the unit's end marker. Writes corpus/<name> (the compressed unit) and
# units/<name>.orig (the file as written). Needs root and /dev/fuse.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
cleanup() { mountpoint -q "$tmp/mnt" && umount "$tmp/mnt"; rm -rf "$tmp"; }
trap cleanup EXIT

python3 - "$tmp" <<'PY'
import random, sys
d = sys.argv[1]
# Text: lines that repeat with small changes.
text = "".join("record %05d: the quick brown fox jumps over the lazy dog %d\n" % (i, i * 7 % 13) for i in range(260))
open(d + "/text", "wb").write(text.encode()[:16000])
# Stored: bytes no compressor can shrink: the first chunk is kept as it is.
r = random.Random(17)
open(d + "/stored", "wb").write(r.randbytes(5000))
# Mixed: text, then noise, then long runs of one byte, then text again.
open(d + "/mixed", "wb").write(text.encode()[:3000] + r.randbytes(700) + b"\x00" * 5000 + b"ab" * 1500 + text.encode()[5000:7000])
PY

truncate -s 16M "$tmp/ntfs.img"
mkntfs -F -Q "$tmp/ntfs.img" >/dev/null 2>&1
mkdir "$tmp/mnt"
ntfs-3g -o compression "$tmp/ntfs.img" "$tmp/mnt"
mkdir "$tmp/mnt/c"
setfattr -h -v 0x00000800 -n system.ntfs_attrib_be "$tmp/mnt/c"
for f in text stored mixed; do cp "$tmp/$f" "$tmp/mnt/c/$f"; done
umount "$tmp/mnt"

cluster=$(ntfsinfo -m "$tmp/ntfs.img" | awk '/Cluster Size:/ {print $3}')
for f in text stored mixed; do
  # The first run of the file's data: the compressed clusters of unit 0.
  read -r lcn length < <(ntfsinfo -v -F "/c/$f" "$tmp/ntfs.img" |
    awk '/Runlist:/ {on=1; next} on && $2 !~ /HOLE/ && NF==3 {print $2, $3; exit}')
  dd if="$tmp/ntfs.img" of="$tmp/$f.unit" bs="$cluster" skip=$((lcn)) count=$((length)) status=none
  python3 - "$tmp/$f.unit" "$here/corpus/$f" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
at = 0
while at + 2 <= len(data):
    header, = struct.unpack_from("<H", data, at)
    if header == 0:
        break
    at += (header & 0xFFF) + 3
open(sys.argv[2], "wb").write(data[:at])
PY
  cp "$tmp/$f" "$here/units/$f.orig"
done
ls -l "$here/corpus" "$here/units"
