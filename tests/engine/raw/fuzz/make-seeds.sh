#!/bin/bash
# Regenerates the seed corpora from real tools: for raw_analysers small
# pictures, sound and films of each parsed kind (some cut short) and one
# EXIF block as the EXIF parser sees it; for raw_boxes, raw_mpeg_audio and raw_tiff the files
# their walks take.
set -euo pipefail
out=$(dirname "$0")/corpus
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
convert -size 16x12 -seed 3 plasma: "$tmp/p.ppm"
cjpeg "$tmp/p.ppm" >"$out/jfif.jpg"
cjpeg "$tmp/p.ppm" >"$out/exif.jpg"
exiftool -q -overwrite_original -JFIF:all= -Make=Acme -Model=Cam -DateTimeOriginal="2021:01:01 00:00:00" "$out/exif.jpg"
cjpeg -progressive "$tmp/p.ppm" >"$out/progressive.jpg"
python3 - "$out/exif.jpg" "$out/exif-block" <<'PY'
import sys
d = open(sys.argv[1], "rb").read()
n = int.from_bytes(d[4:6], "big")
open(sys.argv[2], "wb").write(d[6:4 + n])
PY
convert "$tmp/p.ppm" "$out/small.png"
convert "$tmp/p.ppm" BMP3:"$out/small.bmp"
convert "$tmp/p.ppm" -colors 8 "$out/small.gif"
convert "$tmp/p.ppm" "$out/small.psd"
# Files cut short, as other data on a disk cut them off: walks that lose
# their way before the file's end and hold its last part to its own checks.
half() { head -c $(($(stat -c %s "$1") / 2)) "$1" >"$2"; }
half "$out/small.png" "$out/cut.png"
half "$out/small.gif" "$out/cut.gif"
sox -n -r 8000 -c 1 -b 16 -e signed-integer "$tmp/t.wav" synth 0.5 sine 440
oggenc -Q -s 1 -o "$tmp/t.ogg" "$tmp/t.wav"
half "$tmp/t.ogg" "$out/cut.ogg"
# Ogg streams of other kinds: Opus, and a film whose Theora and Vorbis
# streams close one after the other.
ffmpeg -v error -nostdin -y -f lavfi -i sine=frequency=440:duration=0.1:sample_rate=48000 -fflags +bitexact \
  -c:a libopus -b:a 8k -f ogg "$out/tiny.opus"
ffmpeg -v error -nostdin -y -f lavfi -i testsrc=size=16x16:rate=10:duration=0.2 -f lavfi \
  -i sine=frequency=440:duration=0.2:sample_rate=8000 -fflags +bitexact -shortest -c:v libtheora -c:a libvorbis \
  -f ogg "$out/tiny.ogv"
seq 1 3000 | gzip -9 -n >"$tmp/t.gz"
half "$tmp/t.gz" "$out/cut.gz"
convert "$tmp/p.ppm" -resize 16x16! "$tmp/i.png"
icotool -c -o "$out/small.ico" "$tmp/i.png"
icotool -c --cursor -o "$out/small.cur" "$tmp/i.png"
# A PSP header with one block, as the format lays them out.
python3 - "$out/header.psp" <<'PY'
import sys
head = b"Paint Shop Pro Image File\n\x1a" + bytes(5) + bytes(4)
block = b"~BK\x00" + bytes(2) + (600).to_bytes(4, "little") + bytes(600)
open(sys.argv[1], "wb").write(head + block)
PY
# MP3: a short stream tagged with ID3v2.3 and v1 and one with lame's own tag,
# both small.
python3 -c "import sys; sys.stdout.buffer.write(bytes(range(256)) * 90)" >"$tmp/t.raw"
lame --quiet -r -s 22.05 -b 32 "$tmp/t.raw" "$out/short.mp3"
id3v2 -t T -a A -y 2000 "$out/short.mp3"
lame --quiet -r -s 8 -b 8 --tt Title --ta Artist "$tmp/t.raw" "$out/lame-tag.mp3"
# Films and sound in the containers walked from their headers.
film() {  # OUT FORMAT OPTIONS...
  local out=$1 format=$2; shift 2
  ffmpeg -v error -nostdin -y -f lavfi -i testsrc=size=16x16:rate=25:duration=0.12 -f lavfi \
    -i sine=frequency=440:duration=0.12:sample_rate=8000 -fflags +bitexact -shortest "$@" -f "$format" "$out"
}
mkdir -p "$out/../boxes" "$out/../mpeg-audio" "$out/../tiff"
film "$out/clip.wmv" asf -c:v wmv2 -c:a wmav2
film "$out/clip.rm" rm -c:v rv10 -c:a ac3
film "$out/clip.swf" swf -c:v flv1 -an
ffmpeg -v error -nostdin -y -f lavfi -i testsrc=size=16x16:rate=25:duration=0.12 -fflags +bitexact \
  -c:v mpeg1video -f mpeg "$out/clip.mpg"
boxes=$out/../boxes
film "$boxes/clip.mp4" mp4 -c:v mpeg4 -c:a aac
film "$boxes/clip.mov" mov -c:v mpeg4 -c:a pcm_s16be
film "$boxes/clip.3gp" 3gp -c:v h263 -s 128x96 -c:a aac -ac 1
film "$boxes/clip.mkv" matroska -c:v mpeg4 -c:a pcm_s16le
# Motion JPEG with the movie atom first: its sample tables place the frames.
film "$boxes/mjpeg.mov" mov -c:v mjpeg -c:a pcm_s16le -movflags +faststart
ffmpeg -v error -nostdin -y -f lavfi -i sine=frequency=440:duration=0.2:sample_rate=8000 -fflags +bitexact \
  -c:a aac -f ipod "$boxes/tone.m4a"
# MPEG audio: layer II, layer III tagged by eyeD3 (ID3v2.4 in UTF-16) and by
# id3v2 (v2.3 and v1).
audio=$out/../mpeg-audio
sox -n -r 16000 -c 1 "$tmp/t.wav" synth 0.3 sine 440
twolame --quiet -b 32 "$tmp/t.wav" "$audio/layer2.mp3"
lame --quiet -b 8 "$tmp/t.wav" "$audio/v24.mp3"
eyeD3 -Q --to-v2.4 --encoding utf16 -t "Été" -a "Zoë" "$audio/v24.mp3" >/dev/null
lame --quiet -b 8 "$tmp/t.wav" "$audio/v23.mp3"
id3v2 -t "Café" -a "Noël" -y 1999 "$audio/v23.mp3"
cp "$out/short.mp3" "$audio/short.mp3"
# TIFF from ImageMagick and tiffcp, camera tags from exiftool; a RAF header
# as the format lays it out around a JPEG with an EXIF block.
tiff=$out/../tiff
convert -size 8x8 -seed 1 plasma: -depth 8 "$tiff/ii.tif"
tiffcp -B "$tiff/ii.tif" "$tiff/mm.tif"
tiffcp -t -w 16 -l 16 "$tiff/ii.tif" "$tiff/tiled.tif"
tiffcp -c lzw -r 2 "$tiff/mm.tif" "$tiff/strips.tif"
cp "$tiff/ii.tif" "$tiff/nef.tif"
exiftool -q -overwrite_original -Make="NIKON CORPORATION" -Model="NIKON D700" -DateTimeOriginal="2018:06:07 08:09:10" \
  "$tiff/nef.tif"
cp "$tiff/mm.tif" "$tiff/dng.tif"
exiftool -q -overwrite_original -Make=Leica -Model=M9 -DNGVersion=1.4.0.0 "$tiff/dng.tif"
convert -size 8x8 -seed 2 plasma: "$tmp/f.jpg"
exiftool -q -overwrite_original -Make=FUJIFILM -Model="FinePix S5Pro" "$tmp/f.jpg"
python3 - "$tmp/f.jpg" "$tiff/header.raf" <<'PY'
import sys
jpeg = open(sys.argv[1], "rb").read()
head = bytearray(160)
head[0:28] = b"FUJIFILMCCD-RAW 0201FF392201"
head[84:92] = (160).to_bytes(4, "big") + len(jpeg).to_bytes(4, "big")
end = 160 + len(jpeg)
head[100:108] = end.to_bytes(4, "big") + (64).to_bytes(4, "big")
open(sys.argv[2], "wb").write(bytes(head) + jpeg + bytes(64))
PY
# Files whose header gives their length, cut short, where their own
# structure must tell it: MIDI tracks, AIFF chunks, FLV back-pointers, AVI
# chunks and index, ASF packets, the rows of a packed Photoshop file, an
# icon's PNG picture, lame's Info header, a font's tables and an enhanced
# metafile's records (from LibreOffice); and films of the ISO and Matroska
# families for raw_boxes.
printf 'X:1\nT:Scale\nM:4/4\nL:1/4\nK:C\nCDEF|GABc|\n' >"$tmp/s.abc"
abc2midi "$tmp/s.abc" -o "$tmp/s.mid" >/dev/null
half "$tmp/s.mid" "$out/cut.mid"
sox "$tmp/t.wav" "$tmp/t.aiff"
half "$tmp/t.aiff" "$out/cut.aiff"
film "$tmp/c.flv" flv -c:v flv1 -an
half "$tmp/c.flv" "$out/cut.flv"
film "$tmp/c.avi" avi -c:v mpeg4 -c:a pcm_s16le
half "$tmp/c.avi" "$out/cut.avi"
half "$out/clip.wmv" "$out/cut.wmv"
convert "$tmp/p.ppm" -depth 8 -compress RLE "$tmp/p.psd"
half "$tmp/p.psd" "$out/cut.psd"
convert -size 256x256 gradient:navy-gold "$out/png.ico"
half "$out/png.ico" "$out/cut.ico"
lame --quiet -r -s 8 -b 8 "$tmp/t.raw" "$tmp/info.mp3"
half "$tmp/info.mp3" "$out/cut-info.mp3"
head -c 4096 /usr/share/fonts/truetype/liberation/LiberationMono-Regular.ttf >"$out/cut.ttf"
convert "$tmp/p.ppm" "$tmp/p.png"
(cd "$tmp" && soffice -env:UserInstallation="file://$tmp/office" --headless --convert-to emf p.png >/dev/null 2>&1)
half "$tmp/p.emf" "$out/cut.emf"
half "$boxes/clip.mp4" "$boxes/cut.mp4"
half "$boxes/clip.mkv" "$boxes/cut.mkv"
