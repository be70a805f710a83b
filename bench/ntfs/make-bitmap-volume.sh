#!/usr/bin/env bash
# Makes the volume the $Bitmap benchmark reads: an empty NTFS volume of 2 TiB
# in 4 KiB clusters (a 64 MiB $Bitmap), made by mkntfs in a sparse image.
#
#   make-bitmap-volume.sh IMAGE
#
# Needs mkntfs; exits 77 when it is missing. An existing IMAGE is left as it is.
set -euo pipefail
img=${1:?usage: make-bitmap-volume.sh IMAGE}
[ -s "$img" ] && exit 0
command -v mkntfs >/dev/null 2>&1 || { echo "make-bitmap-volume: tool not installed: mkntfs" >&2; exit 77; }
truncate -s 2T "$img.part"
mkntfs -F -f -q -c 4096 -L bitmap-bench "$img.part" >/dev/null 2>&1
mv "$img.part" "$img"
