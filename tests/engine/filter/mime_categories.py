#!/usr/bin/env python3
"""Oracle for the extension table, from the system's /etc/mime.types.

  mime_categories.py lists MIME_TYPES
      five lines: the ";"-joined extension lists of pictures (image/*), music
      (audio/*), movies (video/*), archives and documents, in file order.
  mime_categories.py lookups MIME_TYPES
      lines "KEY CATEGORY": every extension of the file as written, in upper
      case and in mixed case, plus keys no list holds; CATEGORY is 2-6 for the
      first list that holds the key ignoring ASCII case, 7 otherwise.
  mime_categories.py hashes KEY...
      lines "KEY H0 H1 H2": the three table hashes of each key, computed from
      the hash's description (crypt table, s1/s2 recurrence), not from our code.
"""
import re
import sys

ARCHIVE = re.compile(r"^application/(.*(zip|tar|compress|archive|rar|7z|bzip|xz|lzma|lzip|zstd|cpio|lha|lzh|arj|stuffit|cab|ace)\b.*)$")
DOCUMENT = re.compile(r"^(text/.*|application/(pdf|msword|rtf|vnd\.oasis\.opendocument\..*|vnd\.openxmlformats-officedocument\..*|vnd\.ms-(excel|powerpoint|word).*))$")


def category_of(mime):
    if mime.startswith("image/"):
        return 0
    if mime.startswith("audio/"):
        return 1
    if mime.startswith("video/"):
        return 2
    if ARCHIVE.match(mime):
        return 3
    if DOCUMENT.match(mime):
        return 4
    return None


def read(path):
    entries = []
    with open(path, encoding="ascii", errors="replace") as f:
        for line in f:
            line = line.split("#", 1)[0].split()
            if len(line) > 1:
                entries.append((line[0], line[1:]))
    return entries


def lists(entries):
    out = [[], [], [], [], []]
    for mime, exts in entries:
        c = category_of(mime)
        if c is not None:
            out[c].extend(exts)
    return out


def ascii_upper(text):
    return "".join(chr(ord(ch) - 32) if "a" <= ch <= "z" else ch for ch in text)


def crypt_table():
    table = [0] * 0x500
    seed = 0x00100001
    for i in range(256):
        for k in range(5):
            seed = (seed * 125 + 3) % 0x2AAAAB
            high = seed % 0x10000
            seed = (seed * 125 + 3) % 0x2AAAAB
            low = seed % 0x10000
            table[k * 256 + i] = high * 0x10000 + low
    return table


def table_hash(table, key, kind):
    s1, s2 = 0x7FED7FED, 0xEEEEEEEE
    for b in key.encode("utf-8"):
        c = b - 32 if 0x61 <= b <= 0x7A else b
        s1 = ((s1 + s2) ^ table[kind * 256 + c]) & 0xFFFFFFFF
        s2 = (s2 * 97 + c + s1) & 0xFFFFFFFF
    return s1


def main():
    mode = sys.argv[1]
    if mode == "hashes":
        table = crypt_table()
        for key in sys.argv[2:]:
            print(key, *(table_hash(table, key, k) for k in range(3)))
        return
    entries = read(sys.argv[2])
    cats = lists(entries)
    if mode == "lists":
        for c in cats:
            print(";".join(c))
        return
    folded = [set(ascii_upper(e) for e in c) for c in cats]
    keys = []
    for _, exts in entries:
        for e in exts:
            keys += [e, ascii_upper(e), "".join(ch.upper() if i % 2 else ch for i, ch in enumerate(e))]
    keys += ["notanext", "jpgx", "xjpg", "zz9", "tar.gz"]
    for key in keys:
        cat = next((i + 2 for i, s in enumerate(folded) if ascii_upper(key) in s), 7)
        print(key, cat)


if __name__ == "__main__":
    main()
