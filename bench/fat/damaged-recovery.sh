#!/usr/bin/env bash
# How many deleted files come back byte-exact from damaged FAT32 and exFAT
# volumes: the quick scan (through quickscan_probe, as the application runs
# it) beside The Sleuth Kit's tsk_recover, on copies of one volume of each
# with 1, 5 and 20 % of their 4 KiB blocks overwritten with random bytes
# (fixed seeds), and on the intact volumes.
#
#   damaged-recovery.sh PROBE [WORKDIR]
#
# PROBE is the build's tests/tools/quickscan_probe. The volumes are made once
# into WORKDIR (default $TMPDIR or /tmp) and kept: FAT32 by mkfs.fat and
# mtools, exFAT by mkfs.exfat and exfat-fuse (root, /dev/fuse and loop
# devices; left out without them). Both hold files written in rounds with
# deletions between them, so that later files fill the holes of earlier
# ones: some deleted files are fragmented, some were partly overwritten.
# A deleted file counts when a recovered file has its name and the bytes
# it had (wherever the tool puts it, orphans included).
set -euo pipefail
. "$(dirname "$0")/../../tests/fixtures/lib.sh"
probe=$(readlink -f "${1:?usage: damaged-recovery.sh PROBE [WORKDIR]}")
work=${2:-${TMPDIR:-/tmp}/clipmender-damaged-recovery}
mkdir -p "$work"
export TZ=UTC MTOOLS_SKIP_CHECK=1
seeds=(1 2 3 4 5)
levels=(0 1 5 20)

# gen DIR ROUND: writes this round's files into DIR ("name size" lines of the
# manifest on standard output) and prints nothing else.
gen() {
  python3 - "$1" "$2" <<'PY'
import os, random, sys
root, rnd = sys.argv[1], int(sys.argv[2])
r = random.Random(1000 + rnd)
for d in range(6):
    folder = os.path.join(root, 'round%d-folder%d' % (rnd, d))
    os.makedirs(folder, exist_ok=True)
    for f in range(25):
        name = 'file %d-%d-%02d.%s' % (rnd, d, f, r.choice(['txt', 'bin', 'dat']))
        size = r.choice([r.randrange(1, 4096), r.randrange(4096, 40000), r.randrange(40000, 200000)])
        data = r.randbytes(size)
        with open(os.path.join(folder, name), 'wb') as out:
            out.write(data)
PY
}

# pick LIST FRACTION SEED: a fixed choice of lines of LIST.
pick() {
  python3 -c "
import random, sys
lines = open(sys.argv[1]).read().split('\n')[:-1]
r = random.Random(int(sys.argv[3]))
print('\n'.join(sorted(r.sample(lines, int(len(lines) * float(sys.argv[2]))))))" "$@"
}

# The originals of every file deleted, by name and SHA-256 ("name<TAB>sha").
record_deleted() {  # SRCDIR LIST >> manifest
  while read -r rel; do
    [ -n "$rel" ] || continue
    printf '%s\t%s\n' "$(basename "$rel")" "$(sha256sum "$1/$rel" | cut -d' ' -f1)"
  done <"$2"
}

make_fat() {
  local img=$work/fat32.img src=$work/fat-src
  [ -s "$img" ] && return 0
  rm -rf "$src" && mkdir -p "$src"
  truncate -s 128M "$img.part"
  mkfs.fat -F 32 -s 2 -n DAMAGED "$img.part" >/dev/null
  : >"$img.deleted"
  for round in 1 2 3; do
    gen "$src" "$round"
    # Without the FSInfo hint mtools takes the first free clusters: later
    # rounds fill the holes earlier ones left.
    printf '\xff\xff\xff\xff' | dd of="$img.part" bs=1 seek=$((512 + 492)) conv=notrunc status=none
    (cd "$src" && ls -d round"$round"-*) | while read -r d; do mcopy -s -i "$img.part" "$src/$d" ::/; done
    (cd "$src" && find . -path "./round$round-*" -type f | sed 's|^\./||' | sort) >"$work/list"
    pick "$work/list" 0.35 "$round" >"$work/gone"
    record_deleted "$src" "$work/gone" >>"$img.deleted"
    while read -r rel; do mdel -i "$img.part" "::/$rel"; done <"$work/gone"
  done
  mv "$img.part" "$img"
}

make_exfat() {
  local img=$work/exfat.img src=$work/exfat-src
  [ -s "$img" ] && return 0
  [ "$(id -u)" -eq 0 ] && [ -w /dev/fuse ] && [ -w /dev/loop-control ] || return 1
  rm -rf "$src" && mkdir -p "$src"
  truncate -s 128M "$img.part"
  fixture_fuse
  fixture_attach "$img.part"
  mkfs.exfat -c 4K -L DAMAGED "$FIXTURE_LOOP" >/dev/null
  fixture_mount mount.exfat-fuse -d "$FIXTURE_LOOP"
  : >"$img.deleted"
  for round in 1 2 3; do
    gen "$src" "$round"
    cp -r "$src"/round"$round"-* "$FIXTURE_MNT"/
    (cd "$src" && find . -path "./round$round-*" -type f | sed 's|^\./||' | sort) >"$work/list"
    pick "$work/list" 0.35 "$round" >"$work/gone"
    record_deleted "$src" "$work/gone" >>"$img.deleted"
    while read -r rel; do rm "$FIXTURE_MNT/$rel"; done <"$work/gone"
  done
  fixture_unmount
  fixture_detach
  mv "$img.part" "$img"
}

# damage SRC DST PERCENT SEED
damage() {
  cp --sparse=always "$1" "$2"
  python3 - "$2" "$3" "$4" <<'PY'
import os, random, sys
path, percent, seed = sys.argv[1], float(sys.argv[2]), int(sys.argv[3])
blocks = os.path.getsize(path) // 4096
r = random.Random(seed)
with open(path, 'r+b') as f:
    for b in r.sample(range(blocks), int(blocks * percent / 100)):
        f.seek(b * 4096)
        f.write(r.randbytes(4096))
PY
}

# exact MANIFEST DIR: deleted files found byte-exact under DIR.
exact() {
  python3 - "$1" "$2" <<'PY'
import hashlib, os, sys
want = {}
for line in open(sys.argv[1]):
    name, sha = line.rstrip('\n').split('\t')
    want.setdefault((name, sha), 0)
    want[(name, sha)] += 1
found = set()
for top, _, names in os.walk(sys.argv[2]):
    for name in names:
        with open(os.path.join(top, name), 'rb') as f:
            key = (name, hashlib.sha256(f.read()).hexdigest())
        if key in want:
            found.add(key)
print(sum(want[k] for k in found))
PY
}

make_fat
have_exfat=yes
make_exfat || { echo "exFAT left out: needs root, /dev/fuse and loop devices" >&2; have_exfat=no; }
printf '%-6s %6s %6s %9s %14s %14s\n' volume damage seeds deleted "quick scan" tsk_recover
for fs in fat32 exfat; do
  [ "$fs" = exfat ] && [ "$have_exfat" = no ] && continue
  img=$work/$fs.img
  total=$(wc -l <"$img.deleted")
  for level in "${levels[@]}"; do
    ours=0 peer=0 runs=0
    for seed in "${seeds[@]}"; do
      [ "$level" = 0 ] && [ "$seed" != 1 ] && continue
      copy=$work/damaged.img
      damage "$img" "$copy" "$level" "$seed"
      rm -rf "$work/ours" "$work/peer"
      "$probe" --copy "$work/ours" --deleted-only "$copy" >/dev/null 2>&1 || true
      tsk_recover "$copy" "$work/peer" >/dev/null 2>&1 || true
      mkdir -p "$work/ours" "$work/peer"
      ours=$((ours + $(exact "$img.deleted" "$work/ours")))
      peer=$((peer + $(exact "$img.deleted" "$work/peer")))
      runs=$((runs + 1))
      rm -f "$copy"
    done
    printf '%-6s %5s%% %6d %9d %14d %14d\n' "$fs" "$level" "$runs" $((total * runs)) "$ours" "$peer"
  done
done
