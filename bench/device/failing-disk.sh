#!/usr/bin/env bash
# Files "ok" out of a volume whose medium fails on chosen clusters, as a
# failing card or disk fails: IMAGE served through tests/support/
# failing_file_fuse.py (EIO for every read that meets a bad cluster) and
# attached read-only as a loop device, then scanned, saved, loaded and copied
# out by each rsf_roundtrip given (builds to compare), with no bad cluster,
# with the first one and with all of them. Printed per build and case: the
# files "ok" after the quick scan, after the load and after a deep scan, and
# the seconds each run took (scan and copies). Needs root, FUSE, loop devices
# and python3-fusepy.
#
#   failing-disk.sh IMAGE CLUSTER_BYTES "CLUSTER [CLUSTER...]" ROUNDTRIP [ROUNDTRIP...]
#
# e.g. the NTFS fixture's default volume, bad clusters in the middle of
# big/random-300k.bin and of the deleted gone/deleted-big.bin (istat):
#   failing-disk.sh build-fixtures/ntfs/default.img 4096 "4660 1154" \
#     /work/main/build/tests/tools/rsf_roundtrip build/tests/tools/rsf_roundtrip
set -euo pipefail
[ $# -ge 4 ] || { sed -n 2,18p "$0" >&2; exit 64; }
image=$(realpath "$1") bytes=$2 clusters=($3)
shift 3
here=$(cd "$(dirname "$0")" && pwd)
server=$here/../../tests/support/failing_file_fuse.py
work=$(mktemp -d /tmp/clipmender-failing-disk.XXXXXX)
loop= mnt=$work/mnt
cleanup() {
  [ -z "$loop" ] || losetup -d "$loop" 2>/dev/null || true
  mountpoint -q "$mnt" && umount "$mnt" || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$mnt"

count() { grep -c '^ok ' "$1" || true; }

for n in 0 1 ${#clusters[@]}; do
  [ "$n" -le "${#clusters[@]}" ] || continue
  ranges=()
  for c in "${clusters[@]:0:$n}"; do ranges+=("$((c * bytes)):$bytes"); done
  /usr/bin/python3 "$server" "$image" "$mnt" "${ranges[@]}" &
  for _ in $(seq 100); do mountpoint -q "$mnt" && break; sleep 0.1; done
  loop=$(losetup -r -f --show "$mnt/disk.img")
  for tool in "$@"; do
    out=$work/run
    rm -rf "$out"; mkdir -p "$out"
    blockdev --flushbufs "$loop"
    t0=$(date +%s.%N)
    "$tool" scan --recover-to "$out/q" "$loop" "$out/r.rsf" >"$out/quick.txt" 2>&1 || true
    t1=$(date +%s.%N)
    "$tool" recover "$out/r.rsf" "$out/l" >"$out/load.txt" 2>&1 || true
    t2=$(date +%s.%N)
    blockdev --flushbufs "$loop"
    "$tool" scan --deep --recover-to "$out/d" "$loop" "$out/d.rsf" >"$out/deep.txt" 2>&1 || true
    t3=$(date +%s.%N)
    printf '%-60s bad clusters: %-12s quick %4s ok (%5.2f s)  load %4s ok (%5.2f s)  deep %4s ok (%5.2f s)\n' \
      "$tool" "${clusters[*]:0:$n}" "$(count "$out/quick.txt")" "$(echo "$t1 - $t0" | bc)" \
      "$(count "$out/load.txt")" "$(echo "$t2 - $t1" | bc)" "$(count "$out/deep.txt")" "$(echo "$t3 - $t2" | bc)"
  done
  losetup -d "$loop"; loop=
  umount "$mnt"; wait
done
