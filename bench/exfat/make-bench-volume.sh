#!/usr/bin/env bash
# Makes the exFAT volume the complete-scan benchmark reads: 20,000 small
# files in 2,000 folders (100 top folders of 20), every tenth file deleted
# again, written through exfat-fuse on a loop device into a 1 GiB image.
#
#   make-bench-volume.sh IMAGE
#
# Needs root, /dev/fuse, loop devices, mkfs.exfat, exfat-fuse and python3;
# exits 77 when one is missing. An existing IMAGE is left as it is.
set -euo pipefail
img=${1:?usage: make-bench-volume.sh IMAGE}
[ -s "$img" ] && exit 0
skip() { echo "make-bench-volume: $*" >&2; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root to mount through FUSE"
[ -w /dev/fuse ] || skip "/dev/fuse is missing"
[ -w /dev/loop-control ] || skip "loop devices are missing"
for tool in mkfs.exfat mount.exfat-fuse losetup python3; do
  command -v "$tool" >/dev/null 2>&1 || skip "tool not installed: $tool"
done

tmp="$img.part"
mnt=$(mktemp -d /tmp/clipmender-exfat-bench.XXXXXX)
loop=
fusepid=
cleanup() {
  if mountpoint -q "$mnt" 2>/dev/null; then umount "$mnt" || true; fi
  if [ -n "$fusepid" ]; then wait "$fusepid" 2>/dev/null || true; fi
  if [ -n "$loop" ]; then losetup -d "$loop" || true; fi
  rmdir "$mnt" 2>/dev/null || true
  rm -f "$tmp"
}
trap cleanup EXIT
rm -f "$tmp"
truncate -s 1G "$tmp"
loop=$(losetup -f --show "$tmp")
mkfs.exfat -L BENCH "$loop" >/dev/null
mount.exfat-fuse -d "$loop" "$mnt" >/dev/null 2>&1 &
fusepid=$!
for _ in $(seq 100); do mountpoint -q "$mnt" && break; sleep 0.1; done
python3 - "$mnt" <<'PY'
import os, sys
m = sys.argv[1]
for top in range(100):
    for sub in range(20):
        folder = os.path.join(m, 'top-%03d' % top, 'sub-%02d' % sub)
        os.makedirs(folder)
        for i in range(10):
            path = os.path.join(folder, 'file-%d.txt' % i)
            with open(path, 'wb') as f:
                f.write(b'benchmark file %d/%d/%d\n' % (top, sub, i) * (1 + i * 40))
        os.unlink(os.path.join(folder, 'file-9.txt'))
PY
umount "$mnt"
wait "$fusepid" || true
fusepid=
losetup -d "$loop"
loop=
mv "$tmp" "$img"
