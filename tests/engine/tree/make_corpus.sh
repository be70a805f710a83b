#!/usr/bin/env bash
# Seeds for the tree_graph fuzz target, in its 8-byte record format: real
# hierarchies listed by find(1) (a system folder and a made one with trashes,
# a recycle bin and dot names), fed parents-first and shuffled, plus a cycle.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out="$here/corpus"
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

mkdir -p "$tmp/made/docs" "$tmp/made/.Trashes/501" "$tmp/made/\$Recycle.Bin/S-1-5-21" "$tmp/made/.config/app" "$tmp/made/empty"
printf 12345 > "$tmp/made/docs/a.txt"
printf 1 > "$tmp/made/docs/.hidden"
printf 123 > "$tmp/made/.Trashes/501/old.doc"
printf 1234 > "$tmp/made/\$Recycle.Bin/S-1-5-21/\$Rabc"
printf 12 > "$tmp/made/\$Recycle.Bin/S-1-5-21/\$Iabc"
: > "$tmp/made/.config/app/empty.ini"

listing() { find "$1" -xdev -printf '%i %y %s %P\n' 2>/dev/null | head -n "$2"; }
listing /usr/share/doc 90 > "$tmp/doc.txt" || true
listing "$tmp/made" 60 > "$tmp/made.txt"

python3 - "$tmp" "$out" <<'PY'
import random, struct, sys
tmp, out = sys.argv[1], sys.argv[2]
names = ["a", "b.txt", ".x", ".Trash", ".Trashes", "$Recycle.Bin", "$Rabc", "$Iabc", "#Rq", "RECYCLER", "",
         "HFS+ Private Data", " . .y", "..", "$Reparse", "Users", "c.jpg", "$Rabd"]

def records(path, tree):
    entries = [l.rstrip("\n").split(" ", 3) for l in open(path) if l.strip()]
    index = {}
    recs = []
    for n, (inode, kind, size, rel) in enumerate(entries):
        index[rel] = n
        if rel == "":
            continue
        parent_rel = rel.rsplit("/", 1)[0] if "/" in rel else ""
        parent = 0xFFFF if parent_rel == "" else index.get(parent_rel, 96)
        name = rel.rsplit("/", 1)[-1]
        sel = names.index(name) if name in names else (16 if "." in name else 0)
        flags = (1 if kind == "d" else 0) | (16 if size == "0" else 0)
        recs.append(struct.pack("<BHHBBB", tree << 3, n, parent, flags, sel, int(inode) % 256))
    return recs

def write(name, recs):
    with open(f"{out}/{name}", "wb") as f:
        f.write(b"".join(recs))

finish = [struct.pack("<BHHBBB", 5 | (t << 3), 0, 0, 0, 0, 0) for t in range(3)]
for src, tree in (("doc", 1), ("made", 0)):
    recs = records(f"{tmp}/{src}.txt", tree)
    if not recs:
        continue
    write(f"{src}-parents-first", recs + finish)
    random.seed(7)
    shuffled = recs[:]
    random.shuffle(shuffled)
    write(f"{src}-shuffled", shuffled + [struct.pack("<BHHBBB", 6, 0, 0, 0, 0, 7)] + finish)
cycle = [struct.pack("<BHHBBB", 0, 10, 11, 1, 0, 0), struct.pack("<BHHBBB", 0, 11, 12, 1, 1, 0),
         struct.pack("<BHHBBB", 0, 12, 10, 1, 15, 0), struct.pack("<BHHBBB", 0, 30, 10, 0, 16, 0),
         struct.pack("<BHHBBB", 0, 13, 11, 1, 3, 0), struct.pack("<BHHBBB", 0, 31, 13, 2, 1, 0)]
write("cycle", cycle + finish)
PY
ls -l "$out"
