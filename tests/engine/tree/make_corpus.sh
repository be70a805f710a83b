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
m="$tmp/made"
mkdir -p "$m/docs" "$m/.Trashes/501" "$m/\$Recycle.Bin/S-1-5-21" "$m/.config/app" "$m/empty"
printf 12345 > "$m/docs/a.txt"; printf 1 > "$m/docs/.hidden"; printf 123 > "$m/.Trashes/501/old.doc"
printf 1234 > "$m/\$Recycle.Bin/S-1-5-21/\$Rabc"; printf 12 > "$m/\$Recycle.Bin/S-1-5-21/\$Iabc"
: > "$m/.config/app/empty.ini"
(find /usr/share/doc -xdev -printf '%i %y %s %P\n' 2>/dev/null || true) | head -n 90 > "$tmp/doc.txt"
find "$m" -xdev -printf '%i %y %s %P\n' | head -n 60 > "$tmp/made.txt"

python3 - "$tmp" "$out" <<'PY'
import random, struct, sys
tmp, out = sys.argv[1], sys.argv[2]
names = ["a", "b.txt", ".x", ".Trash", ".Trashes", "$Recycle.Bin", "$Rabc", "$Iabc", "#Rq", "RECYCLER", "",
         "HFS+ Private Data", " . .y", "..", "$Reparse", "Users", "c.jpg", "$Rabd"]
rec = lambda *f: struct.pack("<BHHBBB", *f)
finish = [rec(5 | (t << 3), 0, 0, 0, 0, 0) for t in range(3)]
for src, tree in (("doc", 1), ("made", 0)):
    index, recs = {}, []
    for n, (inode, kind, size, rel) in enumerate(l.rstrip("\n").split(" ", 3) for l in open(f"{tmp}/{src}.txt")):
        index[rel] = n
        if rel:
            parent = index.get(rel.rsplit("/", 1)[0], 96) if "/" in rel else 0xFFFF
            name = rel.rsplit("/", 1)[-1]
            sel = names.index(name) if name in names else (16 if "." in name else 0)
            recs.append(rec(tree << 3, n, parent, (kind == "d") | (16 if size == "0" else 0), sel, int(inode) % 256))
    if recs:
        open(f"{out}/{src}-parents-first", "wb").write(b"".join(recs + finish))
        random.seed(7)
        random.shuffle(recs)
        open(f"{out}/{src}-shuffled", "wb").write(b"".join(recs + [rec(6, 0, 0, 0, 0, 7)] + finish))
cycle = [rec(0, 10, 11, 1, 0, 0), rec(0, 11, 12, 1, 1, 0), rec(0, 12, 10, 1, 15, 0), rec(0, 30, 10, 0, 16, 0),
         rec(0, 13, 11, 1, 3, 0), rec(0, 31, 13, 2, 1, 0)]
open(f"{out}/cycle", "wb").write(b"".join(cycle + finish))
PY
ls -l "$out"
