#!/bin/bash
# Regenerates the seed corpora of raw_ole, raw_zip and raw_pdf from real
# tools: small LibreOffice compound files, zip archives (two streamed through
# a pipe, so that data descriptors follow their entries, one of them
# encrypted), a pandoc DOCX, a Ghostscript PDF and pandoc's RTF and HTML;
# beside them a compound file of 4096-byte sectors, a PDF with an incremental
# update and a short EPS and SVG laid out as the formats describe; some of
# them cut short (for raw_carver right in front of a whole one), and a
# metafile for raw_analysers.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
printf 'a,b\n1,2\n' >t.csv
printf '# T\n\nOne *line* {x}.\n' >t.md
HOME=$tmp soffice -env:UserInstallation=file://$tmp/profile --headless --convert-to xls t.csv >/dev/null 2>&1
pandoc -s t.md -o t.odt
HOME=$tmp soffice -env:UserInstallation=file://$tmp/profile --headless --convert-to doc t.odt >/dev/null 2>&1
cp t.xls "$here/ole/sheet.xls"
cp t.doc "$here/ole/text.doc"
python3 - "$here/ole/v4.bin" <<'PY'
import struct, sys
s = 4096
head = bytearray(512)
head[0:8] = bytes.fromhex("d0cf11e0a1b11ae1")
struct.pack_into("<HHHH", head, 24, 0x3E, 4, 0xFFFE, 12)
struct.pack_into("<III", head, 44, 1, 1, 0)
struct.pack_into("<II", head, 68, 0xFFFFFFFE, 0)
head[76:512] = b"\xff" * 436
struct.pack_into("<I", head, 76, 0)
table = bytearray(b"\xff" * s)
struct.pack_into("<III", table, 0, 0xFFFFFFFD, 0xFFFFFFFE, 0xFFFFFFFE)
directory = bytearray(s)
for k, name in enumerate(["Root Entry", "Workbook"]):
    e = 128 * k
    n = name.encode("utf-16-le") + b"\0\0"
    directory[e:e + len(n)] = n
    struct.pack_into("<HBBIII", directory, e + 64, len(n), 5 if k == 0 else 2, 1, 0xFFFFFFFF, 0xFFFFFFFF,
                     1 if k == 0 else 0xFFFFFFFF)
open(sys.argv[1], "wb").write(bytes(head) + bytes(s - 512) + bytes(table) + bytes(directory) + b"data" * 1024)
PY
mkdir z && (cd z && seq 1 200 >a.txt && seq 1 50 >b.txt && zip -q ../plain.zip a.txt b.txt &&
  echo "a comment" | zip -q -z ../plain.zip && zip -q - a.txt b.txt | cat >../streamed.zip &&
  zip -q -X -e -P secret - a.txt b.txt | cat >../locked.zip)
cp plain.zip streamed.zip locked.zip "$here/zip/"
pandoc -s t.md -o "$here/zip/text.docx"
printf '%%!PS\n72 700 moveto /Helvetica findfont 12 scalefont setfont (x) show showpage\n' >t.ps
ps2pdf t.ps "$here/pdf/page.pdf"
{ cat "$here/pdf/page.pdf"; printf '9 0 obj\n<<>>\nendobj\nxref\n9 1\nstartxref\n9\n%%%%EOF\n'; } >"$here/pdf/update.pdf"
pandoc -s t.md -o "$here/pdf/text.rtf"
pandoc -s t.md --metadata title=T -o "$here/pdf/text.html"
iconv -f UTF-8 -t UTF-16 "$here/pdf/text.html" >"$here/pdf/text-utf16.html"
printf '%%!PS-Adobe-3.0 EPSF-3.0\n%%%%BeginProlog\n%%%%EOF\n%%%%EndProlog\nshowpage\n%%%%EOF\n' >"$here/pdf/nested.eps"
printf '<?xml version="1.0"?>\n<svg width="4" height="4">\n<rect width="2" height="2"/>\n</svg>\n' >"$here/pdf/small.svg"
# Cut short, as other data on a disk cut them off: the ZIP walk and the RTF
# groups losing their way; and a metafile from LibreOffice, whole and cut
# short, for raw_analysers.
half() { head -c $(($(stat -c %s "$1") / 2)) "$1" >"$2"; }
half plain.zip "$here/zip/cut.zip"
half streamed.zip "$here/zip/cut-streamed.zip"
half "$here/pdf/text.rtf" "$here/pdf/cut.rtf"
half "$here/ole/text.doc" "$here/ole/cut.doc"
# A PDF whose cross-reference data are a stream, laid out as the format
# describes; for raw_carver, a compound file and two PDFs (one linearized)
# each cut short right in front of a whole one (the next file's head must
# end the cut one).
python3 - "$here/pdf/xref-stream.pdf" <<'PY'
import sys
body = b"%PDF-1.5\n1 0 obj\n<<>>\nendobj\n"
xref = b"2 0 obj\n<</Type/XRef/Size 3/W[1 1 1]/Length 9>>stream\n\0\0\0\1\x09\0\1\x1d\0\nendstream\nendobj\n"
open(sys.argv[1], "wb").write(body + xref + b"startxref\n%d\n%%%%EOF\n" % len(body))
PY
front() {  # FILE OUT: FILE cut to half, the rest of its sector zeros, then FILE whole
  local n=$(($(stat -c %s "$1") / 2))
  { head -c $n "$1"; head -c $(((512 - n % 512) % 512)) /dev/zero; cat "$1"; } >"$2"
}
front "$here/ole/text.doc" "$here/carver/doc-cut-in-front-of-a-whole-one"
front "$here/pdf/page.pdf" "$here/carver/pdf-cut-in-front-of-a-whole-one"
# Linearized by Ghostscript: its last "startxref" points at its first page's
# cross-reference table, where every such file has it.
gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pdfwrite -dFastWebView=true -o web.pdf t.ps >/dev/null
front web.pdf "$here/carver/linearized-pdf-cut-in-front-of-a-whole-one"
convert -size 16x12 -seed 3 plasma: t.png
HOME=$tmp soffice -env:UserInstallation=file://$tmp/profile --headless --convert-to wmf t.png >/dev/null 2>&1
cp t.wmf "$here/corpus/small.wmf"
half t.wmf "$here/corpus/cut.wmf"
