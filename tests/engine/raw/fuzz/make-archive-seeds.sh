#!/bin/bash
# Regenerates the seed corpora of raw_tar, raw_cab, raw_rar and raw_sqlite
# from real tools (the RAR seeds are the shared samples: no tool here writes
# RAR): small archives and databases of each walked kind.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
samples=${CLIPMENDER_SHARED_FIXTURES:-$here/../../../../../shared/fixtures}/carve
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$here"/{tar,cab,rar,sqlite} "$tmp/dir/sub"
seq 1 200 >"$tmp/dir/sub/a.txt"
printf 'b' >"$tmp/dir/b.txt"
tar -C "$tmp" -b 1 -cf "$here/tar/folders.tar" dir
tar -C "$tmp" -b 1 --format=posix -cf "$here/tar/posix.tar" dir/b.txt
(cd "$tmp/dir" && gcab -c -z "$here/cab/compressed.cab" sub/a.txt b.txt && gcab -c "$here/cab/stored.cab" b.txt)
cp "$samples/rar/fixture.rar" "$samples/rar/testfile.rar3.rar" "$here/rar/"
sqlite3 "$here/sqlite/blob.db" "pragma page_size=512; create table t(b blob); insert into t values (randomblob(2000));"
sqlite3 "$here/sqlite/small.db" "pragma page_size=512; create table t(k text); insert into t values ('x');"
# Cut short: the cabinet's data blocks and the database's pages tell it.
head -c 300 "$here/cab/compressed.cab" >"$here/cab/cut.cab"
head -c 1536 "$here/sqlite/blob.db" >"$here/sqlite/cut.db"
