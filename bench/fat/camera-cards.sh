#!/usr/bin/env bash
# The camera cards of tests/fixtures/fat/make-fat-camera-images.sh and
# tests/fixtures/exfat/make-exfat-camera-images.sh, scanned quick and deep
# through quickscan_probe (as the application runs them), every deleted shot
# copied out, and read by The Sleuth Kit's tsk_recover.
#
#   camera-cards.sh PROBE FAT-DIR [EXFAT-DIR]
#
# FAT-DIR and EXFAT-DIR hold the cards (the scripts make them there when they
# are not current; the exFAT one needs root, /dev/fuse and loop devices).
# Each deleted shot is what the script found it to be (IMG.cards.txt): whole
# where it was written ("intact"), its clusters holding another file's bytes
# now while another entry names them ("taken"), or lost with no entry naming
# them. Per card and scan: how many intact shots came out byte-identical, how
# many were reported failed and of those how many copies were byte-identical
# all the same ("whole"), and how many shots came out with other bytes yet
# reported as recovered ("wrong ok": must be 0), intact or not; tsk_recover
# beside (it reports no failures: a wrong copy of its counts as wrong).
set -euo pipefail
[ $# -ge 2 ] && [ $# -le 3 ] || { echo "usage: camera-cards.sh PROBE FAT-DIR [EXFAT-DIR]" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
probe=$(readlink -f "$1")
bash "$here/../../tests/fixtures/fat/make-fat-camera-images.sh" "$2" >/dev/null
cards=("$2"/f32-camera-*.img)
if [ $# -eq 3 ]; then
  if bash "$here/../../tests/fixtures/exfat/make-exfat-camera-images.sh" "$3" >/dev/null; then
    cards+=("$3"/x*-camera.img)
  else
    echo "exFAT cards left out: needs root, /dev/fuse and loop devices" >&2
  fi
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# judge IMG DIR [LOG]: "deleted intact identical failed whole wrong-ok" over
# the deleted shots of IMG as copied to DIR; LOG is the probe's output (its
# copy lines say which copies answered an error), without it every copy
# counts as reported recovered.
judge() {
  python3 - "$@" <<'PY'
import hashlib, os, sys
img, folder = sys.argv[1:3]
log = sys.argv[3] if len(sys.argv) > 3 else ''
originals = os.path.join(os.path.dirname(img), 'originals', os.path.basename(img)[:-4])
state = {}
for line in open(img + '.cards.txt'):
    path, how = line.rstrip('\n').split('\t')
    state[path] = how.split(',')[0]
def sha(path):
    with open(path, 'rb') as f:
        return hashlib.sha256(f.read()).hexdigest()
def original(path):
    # A deleted entry without its long name lost its first letter.
    folder_, base = path.rsplit('/', 1)
    for name in os.listdir(os.path.join(originals, folder_)):
        if name[1:] == base[1:] and len(name) == len(base):
            return sha(os.path.join(originals, folder_, name))
failed = set()
if log:
    for line in open(log, errors='replace'):
        f = line.rstrip('\n').split('\t')
        if len(f) == 3 and f[0] == 'copy' and int(f[1], 16) >> 56 != 0:
            failed.add(f[2].replace('/#', '/_'))
intact = identical = fails = whole = wrong = 0
for path, how in state.items():
    copy = os.path.join(folder, path)
    if not os.path.exists(copy):
        copy = os.path.join(folder, path.rsplit('/', 1)[0], '#' + path.rsplit('/', 1)[1][1:])
    same = os.path.exists(copy) and sha(copy) == original(path)
    intact += how == 'intact'
    if path in failed:
        fails += how == 'intact'
        whole += how == 'intact' and same
    elif os.path.exists(copy):
        identical += how == 'intact' and same
        wrong += not same
print(len(state), intact, identical, fails, whole, wrong)
PY
}

printf '%-18s %-6s %7s %6s | %9s %6s %5s %8s | %13s %9s\n' card scan deleted intact identical failed whole "wrong ok" \
  "tsk identical" "tsk wrong"
for img in "${cards[@]}"; do
  rm -rf "$work/peer" && mkdir -p "$work/peer"
  tsk_recover "$img" "$work/peer" >/dev/null 2>&1 || true
  read -r _ _ ti _ _ tw < <(judge "$img" "$work/peer")
  for scan in quick deep; do
    rm -rf "$work/copy" && mkdir -p "$work/copy"
    flags=(--copy "$work/copy" --deleted-only)
    [ $scan = quick ] || flags+=(--complete)
    "$probe" "${flags[@]}" "$img" >"$work/log" 2>/dev/null || true
    read -r n k i f h w < <(judge "$img" "$work/copy" "$work/log")
    printf '%-18s %-6s %7d %6d | %9d %6d %5d %8d | %13d %9d\n' "$(basename "$img" .img)" $scan "$n" "$k" "$i" "$f" "$h" \
      "$w" "$ti" "$tw"
  done
done
