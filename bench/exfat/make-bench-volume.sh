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
. "$(dirname "$0")/../../tests/fixtures/lib.sh"
FIXTURE_NAME=make-bench-volume
. "$(dirname "${BASH_SOURCE[0]}")/../bench-args.sh"
bench_args "make-bench-volume.sh IMAGE" 1 "$@"
img=${1:?usage: make-bench-volume.sh IMAGE}
[ -s "$img" ] && exit 0
fixture_need root fuse loop
for tool in mkfs.exfat mount.exfat-fuse losetup python3; do
  command -v "$tool" >/dev/null 2>&1 || fixture_skip "tool not installed: $tool"
done

tmp="$img.part"
fixture_fuse
cleanup() {
  fixture_release
  rm -f "$tmp"
}
trap cleanup EXIT
rm -f "$tmp"
truncate -s 1G "$tmp"
fixture_attach "$tmp"
mkfs.exfat -L BENCH "$FIXTURE_LOOP" >/dev/null
fixture_mount mount.exfat-fuse -d "$FIXTURE_LOOP"
python3 - "$FIXTURE_MNT" <<'PY'
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
fixture_unmount
fixture_detach
mv "$tmp" "$img"
