#!/usr/bin/env bash
# Writes the seeds of the decmpfs fuzz target: the small samples of
# ../make-decmpfs-samples.py, each as u16 attribute length, attribute, fork.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
python3 "$here/../make-decmpfs-samples.py" "$tmp"
mkdir -p "$here/decmpfs-corpus"
for name in zlib-inline zlib-inline-stored lzvn-inline lzvn-inline-tiny lzvn-inline-stored zlib-fork-short \
  lzvn-fork-short; do
  python3 - "$tmp/$name" "$here/decmpfs-corpus/$name" <<'PY'
import os, struct, sys
src, dst = sys.argv[1:]
attr = open(src + ".attr", "rb").read()
fork = open(src + ".fork", "rb").read() if os.path.exists(src + ".fork") else b""
open(dst, "wb").write(struct.pack("<H", len(attr)) + attr + fork)
PY
done
