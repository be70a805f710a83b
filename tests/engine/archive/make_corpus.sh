#!/usr/bin/env bash
# Rebuilds the fuzz seed corpus with the independent archive writer.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out="$here/corpus"
tool=(/usr/bin/python3 "$here/archive_tool.py" make)
a=00112233445566778899aabbccddeeff
b=94639b4081f6884ea20f5d635782ed75
c=6cf208d28c07344e9d71d91f535f7b57
mkdir -p "$out"
"${tool[@]}" "$out/header-only"
"${tool[@]}" "$out/two-frames" --frame "$a:0800000000000000" --frame "$b:0102030405060708090a"
"${tool[@]}" "$out/description" --status 4 --desc "scan of a USB stick" --frame "$c:ffffffff"
"${tool[@]}" "$out/same-id-twice" --frame "$a:01" --frame "$b:" --frame "$a:0202"
"${tool[@]}" "$out/wrapping-length" --frame "$a::0xFFFFFFDC" --frame "$b:00"
"${tool[@]}" "$out/short-frame" --frame "$a:$(printf '%0200d' 0)" --cut 200
"${tool[@]}" "$out/foreign-signature" --frame "$a:aa:1:$b" --frame "$a:bb"
"${tool[@]}" "$out/status-seven" --status 7 --frame "$a:01"
"${tool[@]}" "$out/long-description" --desc abc --desc-length 101
"${tool[@]}" "$out/bad-check" --check 0x1234 --frame "$a:01"
"${tool[@]}" "$out/big-frame" --frame "$a:$(head -c 3000 /dev/zero | od -An -v -tx1 | tr -d ' \n')" --frame "$b:01"
