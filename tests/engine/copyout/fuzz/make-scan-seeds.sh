#!/usr/bin/env bash
# Writes the seeds of the scan_copyout fuzz target into scan-corpus/: small
# images made by real tools (mkfs.fat and mtools, mkntfs and ntfscp), the
# recycle-bin exFAT image of tests/fixtures/recycle (made through exfat-fuse)
# and the shared HFS+ samples, each packed as the target reads them (a flag
# byte, the size in 64 KiB units, then the sectors that are not all zero).
# Some seeds ask for the complete scan, so that carving and the complete
# searchers' copy-out are reached too; the FAT one holds a picture, sound and
# a document.
#
#   make-scan-seeds.sh RECYCLE_FIXTURE_DIR [SHARED_FIXTURES_DIR]
set -euo pipefail
recycle=${1:?usage: make-scan-seeds.sh RECYCLE_FIXTURE_DIR [SHARED_FIXTURES_DIR]}
here=$(cd "$(dirname "$0")" && pwd)
shared=${2:-$here/../../../../../shared/fixtures}
out=$here/scan-corpus
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# pack FLAGS IMAGE SEED: the target's input format.
pack() {
  python3 - "$1" "$2" "$3" <<'PY'
import struct, sys
flags, image, seed = int(sys.argv[1]), sys.argv[2], sys.argv[3]
data = open(image, 'rb').read()
units = (len(data) + 0xFFFF) >> 16
out = bytearray([flags]) + struct.pack('<H', units)
sector = 0
while sector * 512 < len(data):
    if data[sector * 512:(sector + 1) * 512].strip(b'\0'):
        first = sector
        while sector * 512 < len(data) and sector - first < 0xFFFF and data[sector * 512:(sector + 1) * 512].strip(b'\0'):
            sector += 1
        out += struct.pack('<IH', first, sector - first) + data[first * 512:sector * 512]
    else:
        sector += 1
open(seed, 'wb').write(out)
PY
}

# Files to put in: text, a picture, a sound, a document.
printf 'a short text file\n' >"$work/short.txt"
seq 1 4000 >"$work/numbers.txt"
convert -size 48x32 gradient:red-blue "$work/picture.jpg"
convert -size 16x16 xc:green "$work/dot.png"
sox -n -r 8000 -c 1 -b 16 "$work/tone.wav" synth 0.2 sine 440
printf '%%PDF-1.4\n%% a page\n%%%%EOF\n' >"$work/paper.pdf"

# FAT16, 8 MiB: files in the root and a folder, one deleted.
fat=$work/fat16.img
truncate -s 8M "$fat"
mkfs.fat -F 16 -s 1 -n SEEDFAT "$fat" >/dev/null
export MTOOLS_SKIP_CHECK=1
mmd -i "$fat" ::/docs
mcopy -i "$fat" "$work/short.txt" "$work/picture.jpg" "$work/tone.wav" ::/
mcopy -i "$fat" "$work/numbers.txt" "$work/paper.pdf" "$work/dot.png" ::/docs
mdel -i "$fat" ::/docs/numbers.txt
pack 0 "$fat" "$out/fat16-quick"
pack 1 "$fat" "$out/fat16-complete"

# FAT32, 34 MiB (the least that holds enough clusters with 512-byte ones).
fat32=$work/fat32.img
truncate -s 34M "$fat32"
mkfs.fat -F 32 -s 1 -n SEEDF32 "$fat32" >/dev/null
mcopy -i "$fat32" "$work/short.txt" "$work/numbers.txt" ::/
mdel -i "$fat32" ::/short.txt
pack 0 "$fat32" "$out/fat32-quick"

# NTFS, 2 MiB, written without a mount.
ntfs=$work/ntfs.img
truncate -s 2M "$ntfs"
mkntfs -q -F -f -L SEEDNTFS "$ntfs" >/dev/null 2>&1
ntfscp -q "$ntfs" "$work/numbers.txt" numbers.txt >/dev/null
ntfscp -q "$ntfs" "$work/short.txt" short.txt >/dev/null
pack 0 "$ntfs" "$out/ntfs-quick"

# exFAT with a recycle bin (files live, recycled and deleted).
pack 0 "$recycle/rb-exfat.img" "$out/exfat-quick"
pack 1 "$recycle/rb-exfat.img" "$out/exfat-complete"

# HFS+: a journaled volume written by the original system, with deleted
# files in its journal; a small plain one with a resource fork.
gunzip -c "$shared/hfsplus/nps-hfsjtest1.img.gz" >"$work/nps.img"
pack 0 "$work/nps.img" "$out/hfsplus-journaled-quick"
gunzip -c "$shared/hfsplus/dfvfs-hfsplus.img.gz" >"$work/dfvfs.img"
pack 0 "$work/dfvfs.img" "$out/hfsplus-quick"
pack 2 "$work/dfvfs.img" "$out/hfsplus-4096-quick"
ls -l "$out"
