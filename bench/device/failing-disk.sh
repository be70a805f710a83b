#!/usr/bin/env bash
# Files "ok" out of a volume whose medium fails on chosen clusters, as a
# failing card or disk fails: IMAGE served through tests/support/
# failing_file_fuse.py (EIO for every read that meets a bad cluster) and
# attached read-only as a loop device, then scanned, saved, loaded and copied
# out by each rsf_roundtrip given (builds to compare), with no bad cluster,
# with the first one and with all of them. Printed per build and case: the
# files "ok" after the quick scan, after the load and after a deep scan, and
# the seconds each run took (scan and copies); then what tsk_recover gives
# back off the same failing loop device (files identical to the originals,
# with --volume). Needs root, FUSE, loop devices and python3-fusepy.
#
#   failing-disk.sh IMAGE CLUSTER_BYTES "CLUSTER [CLUSTER...]" ROUNDTRIP [ROUNDTRIP...]
#   failing-disk.sh --volume DIR ROUNDTRIP [ROUNDTRIP...]
#
# e.g. the NTFS fixture's default volume, bad clusters in the middle of
# big/random-300k.bin and of the deleted gone/deleted-big.bin (istat):
#   failing-disk.sh build-fixtures/ntfs/default.img 4096 "4660 1154" \
#     /work/main/build/tests/tools/rsf_roundtrip build/tests/tools/rsf_roundtrip
# With --volume, a volume like a used card or disk is made in DIR once
# (mkntfs and ntfs-3g: 512 MiB, 320 files of 2 KiB to 400 KiB written one
# after the other, folder by folder (12 of them), 6 of 2 to 6 MiB between
# them, 30 of all deleted again; fixed seed) with the checksums of its files, and the bad
# clusters are the middle ones of two of its files (istat): one among many
# small files, one in a large file.
set -euo pipefail
[ $# -ge 3 ] || { sed -n 2,26p "$0" >&2; exit 64; }
here=$(cd "$(dirname "$0")" && pwd)
server=$here/../../tests/support/failing_file_fuse.py
work=$(mktemp -d /tmp/clipmender-failing-disk.XXXXXX)
loop= mnt=$work/mnt
# unmount DIR: a loop device lets go of its file a moment after it is
# detached; a mount still busy then is detached lazily, so that its driver
# ends and nothing below $work stays mounted.
unmount() {
  local _
  for _ in $(seq 50); do
    mountpoint -q "$1" || return 0
    umount "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  umount -l "$1" 2>/dev/null || true
}
cleanup() {
  [ -z "$loop" ] || losetup -d "$loop" 2>/dev/null || true
  unmount "$mnt"
  unmount "$work/fill"
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$mnt"

# make_volume DIR: DIR/failing-ntfs.img and DIR/failing-ntfs.sha256 (the
# checksum of every file written, deleted ones too, by path).
make_volume() {
  local dir=$1 img=$1/failing-ntfs.img
  [ -s "$img" ] && [ -s "$dir/failing-ntfs.sha256" ] && return 0
  mkdir -p "$dir"
  rm -f "$img"
  truncate -s 512M "$img"
  mkntfs -F -q -c 4096 -L FAILING "$img" >/dev/null
  local at=$work/fill
  mkdir -p "$at"
  ntfs-3g -o no_detach "$img" "$at" &
  local driver=$!
  for _ in $(seq 100); do mountpoint -q "$at" && break; sleep 0.1; done
  python3 - "$at" "$dir/failing-ntfs.sha256" <<'PY'
import hashlib, os, random, sys
root, manifest = sys.argv[1], sys.argv[2]
rnd = random.Random(89)
sums, written = {}, []
def write(path, size):
    data = rnd.randbytes(size)
    os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
    with open(os.path.join(root, path), "wb") as f:
        f.write(data)
    sums[path] = hashlib.sha256(data).hexdigest()
    written.append(path)
for i in range(320):
    size = int(2048 * (200 ** rnd.random()))  # 2 KiB to 400 KiB, most small
    write(f"folder-{i * 12 // 320:02d}/file-{i:03d}.bin", size)
    if i % 53 == 26:
        write(f"large/video-{i:03d}.bin", rnd.randint(2 << 20, 6 << 20))
for path in rnd.sample(written, 30):
    os.remove(os.path.join(root, path))
    sums[path + "\tdeleted"] = sums.pop(path)
with open(manifest, "w") as f:
    for path in sorted(sums):
        name, _, deleted = path.partition("\t")
        f.write(f"{sums[path]}  {name}{'  (deleted)' if deleted else ''}\n")
PY
  unmount "$at"
  wait "$driver"
}

# The middle cluster of the file at PATH in IMG (fls, istat).
middle_cluster() {
  local img=$1 path=$2 inode
  inode=$(fls -r -p "$img" | awk -F'\t' -v p="$path" '$2 == p { split($1, a, " "); print a[2] }' | tr -d ':*' |
    cut -d- -f1 | head -1)
  istat "$img" "$inode" | awk '/^Type: \$DATA \(128-/ { on = /Non-Resident/ && /Name: N\/A/; next }
    /^Type:/ { on = 0 } on && /^[0-9 ]+$/ { for (i = 1; i <= NF; i++) if ($i) c[n++] = $i }
    END { print c[int(n / 2)] }'
}

manifest=
if [ "$1" = --volume ]; then
  make_volume "$2"
  image=$(realpath "$2/failing-ntfs.img") bytes=4096 manifest=$(realpath "$2/failing-ntfs.sha256")
  # A small file among many (the bad cluster's neighbours are other files),
  # and a large one.
  small=$(awk '!/deleted/ && $2 ~ /^folder-05\// { print $2 }' "$manifest" | sed -n 10p)
  large=$(awk '!/deleted/ && $2 ~ /^large\// { print $2 }' "$manifest" | sed -n 2p)
  clusters=("$(middle_cluster "$image" "$small")" "$(middle_cluster "$image" "$large")")
  echo "bad clusters: ${clusters[0]} in $small, ${clusters[1]} in $large"
  shift 2
else
  image=$(realpath "$1") bytes=$2 clusters=($3)
  shift 3
fi

count() { grep -c '^ok ' "$1" || true; }

# Files of the manifest that tsk_recover gave back identical, out of DIR.
identical() {
  local dir=$1
  (cd "$dir" && find . -type f -printf '%P\0' | xargs -0r sha256sum) | awk 'NR == FNR { ok[$1 "  " $2] = 1; next }
    ($1 "  " $2) in ok { n++ } END { print n + 0 }' - "$manifest"
}

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
    blockdev --flushbufs "$loop"
    "$tool" recover "$out/r.rsf" "$out/l" >"$out/load.txt" 2>&1 || true
    t2=$(date +%s.%N)
    blockdev --flushbufs "$loop"
    "$tool" scan --deep --recover-to "$out/d" "$loop" "$out/d.rsf" >"$out/deep.txt" 2>&1 || true
    t3=$(date +%s.%N)
    printf '%-60s bad clusters: %-12s quick %4s ok (%5.2f s)  load %4s ok (%5.2f s)  deep %4s ok (%5.2f s)\n' \
      "$tool" "${clusters[*]:0:$n}" "$(count "$out/quick.txt")" "$(echo "$t1 - $t0" | bc)" \
      "$(count "$out/load.txt")" "$(echo "$t2 - $t1" | bc)" "$(count "$out/deep.txt")" "$(echo "$t3 - $t2" | bc)"
  done
  if [ -n "$manifest" ]; then
    rm -rf "$work/tsk"
    blockdev --flushbufs "$loop"
    t0=$(date +%s.%N)
    tsk_recover -e "$loop" "$work/tsk" >/dev/null 2>&1 || true
    t1=$(date +%s.%N)
    printf '%-60s bad clusters: %-12s %4s files identical of %s (%5.2f s)\n' "tsk_recover -e" "${clusters[*]:0:$n}" \
      "$(identical "$work/tsk")" "$(wc -l <"$manifest")" "$(echo "$t1 - $t0" | bc)"
  fi
  losetup -d "$loop"; loop=
  unmount "$mnt"; wait
done
