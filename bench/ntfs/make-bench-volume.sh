#!/usr/bin/env bash
# Makes the NTFS volume the quick-scan benchmark reads: 100,000 small files
# in 100 folders, every tenth of them deleted again, written through an
# ntfs-3g mount into a sparse 1 GiB image. The scale benchmark asks for a
# larger volume of the same shape through the optional arguments.
#
#   make-bench-volume.sh IMAGE [FOLDERS FILES-PER-FOLDER IMAGE-SIZE]
#
# Needs root, /dev/fuse, mkntfs, ntfs-3g and python3; exits 77 when one is
# missing. An existing IMAGE is left as it is.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../bench-args.sh"
bench_args "make-bench-volume.sh IMAGE [FOLDERS FILES-PER-FOLDER IMAGE-SIZE]" 4 "$@"
img=${1:?usage: make-bench-volume.sh IMAGE [FOLDERS FILES-PER-FOLDER IMAGE-SIZE]}
folders=${2:-100}
files=${3:-1000}
size=${4:-1G}
[ -s "$img" ] && exit 0
. "$(dirname "$0")/../../tests/fixtures/lib.sh"
FIXTURE_NAME=make-bench-volume
fixture_need root fuse
for tool in mkntfs ntfs-3g python3; do command -v "$tool" >/dev/null 2>&1 || fixture_skip "tool not installed: $tool"; done

tmp="$img.part"
fixture_fuse
cleanup() {
  fixture_release
  rm -f "$tmp"
}
trap cleanup EXIT
rm -f "$tmp"
truncate -s "$size" "$tmp"
mkntfs -F -f -q -L clip-bench "$tmp" >/dev/null 2>&1
fixture_mount ntfs-3g -o no_detach,big_writes "$tmp"
python3 - "$FIXTURE_MNT" "$folders" "$files" <<'PY'
import os, sys
m, folders, files = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for d in range(folders):
    folder = os.path.join(m, 'folder-%03d' % d)
    os.mkdir(folder)
    for f in range(files):
        fd = os.open(os.path.join(folder, 'file-%04d.txt' % f), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
        os.write(fd, b'benchmark file %d of folder %d\n' % (f, d))
        os.close(fd)
for d in range(folders):
    for f in range(0, files, 10):
        os.unlink(os.path.join(m, 'folder-%03d' % d, 'file-%04d.txt' % f))
PY
fixture_unmount
mv "$tmp" "$img"
