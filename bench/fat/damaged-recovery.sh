#!/usr/bin/env bash
# Deleted files out of damaged volumes: FAT16 and FAT32 (mkfs.fat, mtools),
# exFAT (mkfs.exfat, exfat-fuse) and NTFS (mkntfs, ntfs-3g), copies of each
# with 1, 5 and 20 % of their 4 KiB blocks overwritten with random bytes
# (seeds 1 to 5 by default), and the intact volumes. Each copy is scanned
# quick and deep through quickscan_probe (as the application runs them) and
# read by The Sleuth Kit's tsk_recover.
#
#   damaged-recovery.sh [--seeds N] [--fs LIST] [--days-apart] [--photos] PROBE [WORKDIR]
#
# PROBE is the build's tests/tools/quickscan_probe; LIST is a comma-separated
# choice of fat16,fat32,exfat,ntfs. The volumes are made once into WORKDIR
# (default $TMPDIR or /tmp) and kept; exFAT and NTFS need root, /dev/fuse and
# loop devices and are left out without them. Files are written in rounds
# with deletions between them, so that later files fill the holes of earlier
# ones: some deleted files are fragmented, some were partly overwritten.
# The rounds follow each other within seconds, which FAT's two-second times
# cannot tell apart; with --days-apart the FAT volumes' rounds are written a
# day apart instead (mtools under faketime), as a card is used, into
# fat16-apart.img and fat32-apart.img. With --photos a third of the files
# are JPEG pictures (ImageMagick, noise of their own), whose heads and ends
# say where they lie, as on a card, into IMG-photos.img volumes of their own.
#
# Where each deleted file's bytes lie is found on the intact volume from the
# originals (every 512-byte piece of the file where it sits, or the file
# whole for small ones). A deleted file counts when all its bytes still lie
# on the intact volume and none in a damaged block ("kept"). Per file system,
# scan and level: how many kept files came out byte-identical, how many were
# reported failed (a copy-out that answered an error) and of those how many
# copies were byte-identical all the same ("whole": files the scan could
# have vouched for), how many came out with other bytes yet reported as
# recovered (must be 0), and how many were not shown; then how many deleted
# files of all, kept or not, came out with other bytes yet reported as
# recovered ("all wrong"): undamaged, files whose clusters other files took
# since (where no entry names them any more, nothing on the volume tells);
# damaged, also files whose own blocks the damage hit. tsk_recover beside
# them (it reports no failures: a wrong copy of its counts as wrong). A file
# counts once, by its name, wherever it is put.
set -euo pipefail
. "$(dirname "$0")/../../tests/fixtures/lib.sh"
usage() {
  local to=2
  [ "${1:-2}" != 0 ] || to=1
  echo "usage: damaged-recovery.sh [--seeds N] [--fs fat16,fat32,exfat,ntfs] [--days-apart] [--photos] PROBE [WORKDIR]" >&$to
  exit "${1:-2}"
}
nseeds=5
fslist=fat16,fat32,exfat,ntfs
apart=
photos=
args=()
while [ $# -gt 0 ]; do
  case $1 in
    --seeds) [ $# -ge 2 ] && [[ $2 =~ ^[1-9][0-9]*$ ]] || usage; nseeds=$2; shift 2 ;;
    --fs) [ $# -ge 2 ] || usage; fslist=$2; shift 2 ;;
    --days-apart) apart=-apart; shift ;;
    --photos) photos=-photos; shift ;;
    -h | --help) usage 0 ;;
    --) shift; args+=("$@"); break ;;
    -*) echo "damaged-recovery.sh: unknown option $1" >&2; usage ;;
    *) args+=("$1"); shift ;;
  esac
done
[ ${#args[@]} -ge 1 ] && [ ${#args[@]} -le 2 ] || usage
for fs in ${fslist//,/ }; do
  case $fs in fat16 | fat32 | exfat | ntfs) ;; *) echo "damaged-recovery.sh: unknown file system $fs" >&2; usage ;; esac
done
probe=$(readlink -f "${args[0]}")
work=${args[1]:-${TMPDIR:-/tmp}/clipmender-damaged-recovery}
mkdir -p "$work"
export TZ=UTC MTOOLS_SKIP_CHECK=1
seeds=($(seq 1 "$nseeds"))
levels=(0 1 5 20)

# gen DIR ROUND: writes this round's files into DIR ("name size" lines of the
# manifest on standard output) and prints nothing else.
gen() {
  python3 - "$1" "$2" "$photos" <<'PY'
import os, random, subprocess, sys
root, rnd, photos = sys.argv[1], int(sys.argv[2]), sys.argv[3] != ''
r = random.Random(1000 + rnd)
for d in range(6):
    folder = os.path.join(root, 'round%d-folder%d' % (rnd, d))
    os.makedirs(folder, exist_ok=True)
    for f in range(25):
        kinds = ['txt', 'bin', 'dat'] + (['jpg'] * 2 if photos else [])
        name = 'file %d-%d-%02d.%s' % (rnd, d, f, r.choice(kinds))
        size = r.choice([r.randrange(1, 4096), r.randrange(4096, 40000), r.randrange(40000, 200000)])
        if name.endswith('.jpg'):
            # Noise of its own, about as large: some 1.6 bytes a pixel.
            side = max(16, int((size / 1.6) ** 0.5))
            # On one thread: the noise a seed gives depends on how many
            # threads share the rows.
            data = subprocess.run(['convert', '-seed', str(r.randrange(1 << 30)), '-size', '%dx%d' % (side, side),
                                   'xc:', '+noise', 'Random', '-quality', '85', '-strip', 'jpg:-'],
                                  capture_output=True, check=True,
                                  env=dict(os.environ, MAGICK_THREAD_LIMIT='1')).stdout
        else:
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

# The originals of every file deleted ("name<TAB>sha<TAB>original").
record_deleted() {  # SRCDIR LIST >> manifest
  while read -r rel; do
    [ -n "$rel" ] || continue
    printf '%s\t%s\t%s\n' "$(basename "$rel")" "$(sha256sum "$1/$rel" | cut -d' ' -f1)" "$1/$rel"
  done <"$2"
}

# make_fat 16|32: with --days-apart, round R's writes and deletions on day R.
make_fat() {
  local bits=$1 img=$work/fat$1$apart$photos.img src=$work/fat$1$apart$photos-src clock=()
  [ -s "$img" ] && return 0
  rm -rf "$src" && mkdir -p "$src"
  truncate -s 128M "$img.part"
  # 1 KiB clusters on FAT32; FAT16 needs 4 KiB ones to hold 128 MiB.
  mkfs.fat -F "$bits" -s $((bits == 32 ? 2 : 8)) -n DAMAGED "$img.part" >/dev/null
  : >"$img.deleted"
  for round in 1 2 3; do
    [ -z "$apart" ] || clock=(faketime -f "@2025-01-0$round 12:00:00")
    gen "$src" "$round"
    # Without the FSInfo hint mtools takes the first free clusters: later
    # rounds fill the holes earlier ones left (FAT16 has no hint).
    [ "$bits" = 16 ] || printf '\xff\xff\xff\xff' | dd of="$img.part" bs=1 seek=$((512 + 492)) conv=notrunc status=none
    (cd "$src" && ls -d round"$round"-*) | while read -r d; do "${clock[@]}" mcopy -s -i "$img.part" "$src/$d" ::/ || return 1; done
    (cd "$src" && find . -path "./round$round-*" -type f | sed 's|^\./||' | sort) >"$work/list"
    pick "$work/list" 0.35 "$round" >"$work/gone"
    record_deleted "$src" "$work/gone" >>"$img.deleted"
    while read -r rel; do "${clock[@]}" mdel -i "$img.part" "::/$rel"; done <"$work/gone"
  done
  mv "$img.part" "$img"
}

# make_fuse NAME: exFAT through exfat-fuse on a loop device, NTFS through
# ntfs-3g on the file.
make_fuse() {
  local fs=$1 img=$work/$1$photos.img src=$work/$1$photos-src
  [ -s "$img" ] && return 0
  [ "$(id -u)" -eq 0 ] && [ -w /dev/fuse ] && [ -w /dev/loop-control ] || return 1
  rm -rf "$src" && mkdir -p "$src"
  truncate -s 128M "$img.part"
  fixture_fuse
  if [ "$fs" = exfat ]; then
    fixture_attach "$img.part"
    mkfs.exfat -c 4K -L DAMAGED "$FIXTURE_LOOP" >/dev/null
    fixture_mount mount.exfat-fuse -d "$FIXTURE_LOOP"
  else
    mkntfs -q -F -f -c 4096 -L DAMAGED "$img.part" >/dev/null 2>&1
    fixture_mount ntfs-3g -o no_detach "$img.part"
  fi
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
  [ "$fs" != exfat ] || fixture_detach
  mv "$img.part" "$img"
}

# locate IMG: IMG.places, "name<TAB>first-block,..." of every deleted file
# whose bytes all still lie on the intact volume (the 4 KiB blocks they lie
# in), from its original: each 512-byte piece where a sector holds it, a
# file below 1 KiB wherever it lies whole (resident NTFS files).
locate() {
  [ -s "$1.places" ] && [ "$1.places" -nt "$1" ] && return 0
  python3 - "$1" >"$1.places" <<'PY'
import hashlib, sys
img = sys.argv[1]
data = open(img, 'rb').read()
at = {}
for off in range(0, len(data), 512):
    at.setdefault(hashlib.sha1(data[off:off + 512]).digest(), off)
for line in open(img + '.deleted'):
    name, sha, original = line.rstrip('\n').split('\t')
    body = open(original, 'rb').read()
    blocks = set()
    if len(body) < 1024:
        off = data.find(body) if len(body) >= 32 else -1
        if off < 0:
            continue
        blocks.update(range(off // 4096, (off + len(body) - 1) // 4096 + 1))
    else:
        whole = True
        last = -1
        for piece in range(0, len(body), 512):
            chunk = body[piece:piece + 512]
            if len(chunk) == 512:
                off = at.get(hashlib.sha1(chunk).digest(), -1)
            else:
                off = last + 512 if last >= 0 and data[last + 512:last + 512 + len(chunk)] == chunk else data.find(chunk)
            if off < 0:
                whole = False
                break
            blocks.update(range(off // 4096, (off + len(chunk) - 1) // 4096 + 1))
            last = off
        if not whole:
            continue
    print('%s\t%s' % (name, ','.join(str(b) for b in sorted(blocks))))
PY
}

# damage SRC DST PERCENT SEED: DST.blocks lists the blocks overwritten.
damage() {
  cp --sparse=always "$1" "$2"
  python3 - "$2" "$3" "$4" <<'PY'
import os, random, sys
path, percent, seed = sys.argv[1], float(sys.argv[2]), int(sys.argv[3])
blocks = os.path.getsize(path) // 4096
r = random.Random(seed)
chosen = r.sample(range(blocks), int(blocks * percent / 100))
with open(path, 'r+b') as f:
    for b in chosen:
        f.seek(b * 4096)
        f.write(r.randbytes(4096))
with open(path + '.blocks', 'w') as out:
    out.write('\n'.join(str(b) for b in chosen) + '\n')
PY
}

# judge IMG COPY DIR [LOG]: "kept identical failed whole wrong missing" over
# the deleted files kept whole on COPY, then "all-wrong" over every deleted
# file. LOG is the probe's output (its copy lines say which copies answered
# an error); without it every copy under DIR counts as reported recovered.
judge() {
  python3 - "$1" "$2" "$3" "${4:-}" <<'PY'
import hashlib, os, sys
img, copy, folder, log = sys.argv[1:5]
damaged = set(int(x) for x in open(copy + '.blocks').read().split()) if os.path.exists(copy + '.blocks') else set()
want = {}
for line in open(img + '.deleted'):
    name, sha, _ = line.rstrip('\n').split('\t')
    want[name] = sha
kept = {}
for line in open(img + '.places'):
    name, blocks = line.rstrip('\n').split('\t')
    if not damaged.intersection(int(b) for b in blocks.split(',')):
        kept[name] = want[name]
failed_paths = set()
if log:
    for line in open(log, errors='replace'):
        f = line.rstrip('\n').split('\t')
        if len(f) == 3 and f[0] == 'copy' and int(f[1], 16) >> 56 != 0:
            failed_paths.add(os.path.normpath(os.path.join(folder, f[2])))
seen = {}
whole = set()
wrong_anywhere = set()
for top, _, names in os.walk(folder):
    for name in names:
        if name not in want:
            continue
        path = os.path.normpath(os.path.join(top, name))
        with open(path, 'rb') as f:
            same = hashlib.sha256(f.read()).hexdigest() == want[name]
        if path not in failed_paths and not same:
            wrong_anywhere.add(name)
        if name not in kept:
            continue
        if path in failed_paths:
            verdict = 'failed'
            if same:
                whole.add(name)
        else:
            verdict = 'identical' if same else 'wrong'
        rank = {'identical': 3, 'failed': 2, 'wrong': 1}
        if rank[verdict] > rank.get(seen.get(name), 0):
            seen[name] = verdict
if log:
    # A failed copy may leave no file behind.
    for path in failed_paths:
        name = os.path.basename(path)
        if name in kept and name not in seen:
            seen[name] = 'failed'
counts = [list(seen.values()).count(v) for v in ('identical', 'failed', 'wrong')]
failed_whole = sum(1 for name, v in seen.items() if v == 'failed' and name in whole)
print(len(kept), counts[0], counts[1], failed_whole, counts[2], len(kept) - sum(counts), len(wrong_anywhere))
PY
}

avail=()
for fs in ${fslist//,/ }; do
  case $fs in
    fat16) make_fat 16 && avail+=(fat16) ;;
    fat32) make_fat 32 && avail+=(fat32) ;;
    *) if make_fuse "$fs"; then avail+=("$fs"); else echo "$fs left out: needs root, /dev/fuse and loop devices" >&2; fi ;;
  esac
done
row() {  # FS SCAN LEVEL RUNS, then the sums' keys: kept identical failed whole wrong missing all-wrong
  printf '%-6s %-6s %5s%% %5d %6d | %9d %6d %5d %6d %7d | %9d | %13d %9d %9d\n' "$1" "$2" "$3" "$4" "${sum[$5]}" \
    "${sum[$6]}" "${sum[$7]}" "${sum[$8]}" "${sum[$9]}" "${sum[${10}]}" "${sum[${11}]}" "${sum[ti]}" "${sum[tw]}" "${sum[ta]}"
}
printf '%-6s %-6s %6s %5s %6s | %9s %6s %5s %6s %7s | %9s | %13s %9s %9s\n' volume scan damage runs kept identical failed whole \
  wrong missing "all wrong" "tsk identical" "tsk wrong" "tsk all w"
for fs in "${avail[@]}"; do
  img=$work/$fs$photos.img
  case $fs in fat*) img=$work/$fs$apart$photos.img ;; esac
  locate "$img"
  for level in "${levels[@]}"; do
    declare -A sum=()
    runs=0
    for seed in "${seeds[@]}"; do
      [ "$level" = 0 ] && [ "$seed" != 1 ] && continue
      copy=$work/damaged.img
      if [ "$level" = 0 ]; then cp --sparse=always "$img" "$copy" && : >"$copy.blocks"; else damage "$img" "$copy" "$level" "$seed"; fi
      rm -rf "$work/quick" "$work/deep" "$work/peer"
      mkdir -p "$work/quick" "$work/deep" "$work/peer"
      "$probe" --copy "$work/quick" --deleted-only "$copy" >"$work/quick.log" 2>/dev/null || true
      "$probe" --complete --copy "$work/deep" --deleted-only "$copy" >"$work/deep.log" 2>/dev/null || true
      tsk_recover "$copy" "$work/peer" >/dev/null 2>&1 || true
      read -r k qi qf qh qw qm qa < <(judge "$img" "$copy" "$work/quick" "$work/quick.log")
      read -r _ di df dh dw dm da < <(judge "$img" "$copy" "$work/deep" "$work/deep.log")
      read -r _ ti _ _ tw _ ta < <(judge "$img" "$copy" "$work/peer")
      for v in k qi qf qh qw qm qa di df dh dw dm da ti tw ta; do sum[$v]=$((${sum[$v]:-0} + ${!v})); done
      runs=$((runs + 1))
      rm -f "$copy" "$copy.blocks"
    done
    row "$fs" quick "$level" "$runs" k qi qf qh qw qm qa
    row "$fs" deep "$level" "$runs" k di df dh dw dm da
    unset sum
  done
done
