#!/usr/bin/env bash
# Real LZNT1 compression units for the decoder's tests and fuzz seeds: files
# written by ntfs-3g into a compressed folder of an image made by mkntfs, the
# clusters of their first run read back where ntfsinfo reports them and cut at
# the unit's end marker. Writes corpus/<name> (the unit) and units/<name>.orig
# (the file as written). Needs root and /dev/fuse.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'mountpoint -q "$tmp/mnt" && umount "$tmp/mnt"; rm -rf "$tmp"' EXIT

python3 - "$tmp" <<'PY'
import random, sys
d, r = sys.argv[1], random.Random(17)
text = "".join("record %05d: the quick brown fox jumps over the lazy dog %d\n" % (i, i * 7 % 13)
               for i in range(260)).encode()
open(d + "/text", "wb").write(text[:16000])  # lines that repeat with small changes
open(d + "/stored", "wb").write(r.randbytes(5000))  # nothing to shrink: kept as it is
open(d + "/mixed", "wb").write(text[:3000] + r.randbytes(700) + b"\x00" * 5000 + b"ab" * 1500 + text[5000:7000])
PY

truncate -s 16M "$tmp/ntfs.img"
mkntfs -F -Q "$tmp/ntfs.img" >/dev/null 2>&1
mkdir "$tmp/mnt"
ntfs-3g -o compression "$tmp/ntfs.img" "$tmp/mnt"
mkdir "$tmp/mnt/c"
setfattr -h -v 0x00000800 -n system.ntfs_attrib_be "$tmp/mnt/c"
cp "$tmp/text" "$tmp/stored" "$tmp/mixed" "$tmp/mnt/c/"
umount "$tmp/mnt"

cluster=$(ntfsinfo -m "$tmp/ntfs.img" | awk '/Cluster Size:/ {print $3}')
for f in text stored mixed; do
  read -r lcn length < <(ntfsinfo -v -F "/c/$f" "$tmp/ntfs.img" |
    awk '/Runlist:/ {on=1; next} on && $2 !~ /HOLE/ && NF==3 {print $2, $3; exit}')
  dd if="$tmp/ntfs.img" bs="$cluster" skip=$((lcn)) count=$((length)) status=none | python3 -c '
import struct, sys
data, at = sys.stdin.buffer.read(), 0
while at + 2 <= len(data) and struct.unpack_from("<H", data, at)[0] != 0:
    at += (struct.unpack_from("<H", data, at)[0] & 0xFFF) + 3
sys.stdout.buffer.write(data[:at])' >"$here/corpus/$f"
  cp "$tmp/$f" "$here/units/$f.orig"
done
ls -l "$here/corpus" "$here/units"
