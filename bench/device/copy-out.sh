#!/usr/bin/env bash
# Copy-out of a healthy volume by each rsf_roundtrip given (builds to
# compare), from the page cache: an NTFS volume of 1 GiB (mkntfs and
# ntfs-3g, made once into DIR: 240 files of 256 KiB to 8 MiB in 8 folders,
# fixed seed) on a read-only loop device, scanned and copied out to
# /dev/shm (quick scan with --recover-to), then loaded and copied out again
# (recover). Each build runs in turn, after one warm-up round; printed per
# build: the median and best seconds of the rounds (5, or ROUNDS) and the
# MB/s of the copies' bytes, and the ratio to the first build.
#
#   copy-out.sh DIR [--rounds N] ROUNDTRIP [ROUNDTRIP...]
#
# e.g. copy-out.sh /tmp/clipmender-bench /work/main/build/tests/tools/rsf_roundtrip \
#        build/tests/tools/rsf_roundtrip
set -euo pipefail
[ $# -ge 2 ] || { sed -n 2,14p "$0" >&2; exit 64; }
dir=$1
shift
rounds=5
if [ "$1" = --rounds ]; then rounds=$2; shift 2; fi
img=$dir/copy-out-ntfs.img
work=$(mktemp -d /tmp/clipmender-copy-out.XXXXXX)
out=$(mktemp -d /dev/shm/clipmender-copy-out.XXXXXX)
loop=
cleanup() {
  [ -z "$loop" ] || losetup -d "$loop" 2>/dev/null || true
  # A driver still busy is detached lazily, so that it ends and the wait
  # below returns.
  if mountpoint -q "$work/fill" 2>/dev/null; then umount "$work/fill" 2>/dev/null || umount -l "$work/fill" || true; fi
  wait 2>/dev/null || true
  rm -rf "$work" "$out"
}
trap cleanup EXIT

if [ ! -s "$img" ]; then
  mkdir -p "$dir" "$work/fill"
  truncate -s 1G "$img.part"
  mkntfs -F -q -c 4096 -L COPYOUT "$img.part" >/dev/null
  ntfs-3g -o no_detach "$img.part" "$work/fill" &
  for _ in $(seq 100); do mountpoint -q "$work/fill" && break; sleep 0.1; done
  python3 - "$work/fill" <<'PY'
import os, random, sys
rnd = random.Random(105)
for i in range(240):
    folder = os.path.join(sys.argv[1], f"folder-{i % 8}")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, f"file-{i:03d}.bin"), "wb") as f:
        f.write(rnd.randbytes(int(256 * 1024 * (32 ** rnd.random()))))
PY
  umount "$work/fill"
  wait
  mv "$img.part" "$img"
fi
loop=$(losetup -r -f --show "$img")
cat "$img" >/dev/null

# seconds BUILD: one round's quick-scan copy and load copy, "QUICK LOAD".
seconds() {
  rm -rf "${out:?}"/*
  local t0 t1 t2
  t0=$(date +%s.%N)
  "$1" scan --recover-to "$out/q" "$loop" "$work/r.rsf" >/dev/null 2>&1 || true
  t1=$(date +%s.%N)
  "$1" recover "$work/r.rsf" "$out/l" >/dev/null 2>&1 || true
  t2=$(date +%s.%N)
  echo "$(echo "$t1 - $t0" | bc) $(echo "$t2 - $t1" | bc)"
}

for tool in "$@"; do seconds "$tool" >/dev/null; done
bytes=$(du -sb "$out/q" | cut -f1)
declare -A quick load
for _ in $(seq "$rounds"); do
  for tool in "$@"; do
    read -r q l < <(seconds "$tool")
    quick[$tool]+="$q "
    load[$tool]+="$l "
  done
done
stats() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { printf "%.3f %.3f\n", v[int((NR + 1) / 2)], v[1] }'; }
printf 'copies: %s bytes; median and best seconds of %s rounds\n' "$bytes" "$rounds"
first=
for tool in "$@"; do
  read -r qm qb < <(echo "${quick[$tool]}" | stats)
  read -r lm lb < <(echo "${load[$tool]}" | stats)
  [ -n "$first" ] || first="$qm $lm"
  read -r fq fl <<<"$first"
  printf '%-60s scan+copy %6.3f (best %6.3f, %5.0f MB/s, %.2fx)  load+copy %6.3f (best %6.3f, %5.0f MB/s, %.2fx)\n' \
    "$tool" "$qm" "$qb" "$(echo "$bytes / $qm / 1000000" | bc -l)" "$(echo "$fq / $qm" | bc -l)" \
    "$lm" "$lb" "$(echo "$bytes / $lm / 1000000" | bc -l)" "$(echo "$fl / $lm" | bc -l)"
done
