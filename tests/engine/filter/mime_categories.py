#!/usr/bin/env python3
"""Oracle for the extension table, from the system's /etc/mime.types.

  mime_categories.py MIME_TYPES
      five lines: the ";"-joined extension lists of pictures (image/*), music
      (audio/*), movies (video/*), archives and documents, in file order; then
      lines "KEY CATEGORY": every extension as written, in upper and in mixed
      case, and keys no list holds; CATEGORY is 2-6 for the first list that
      holds the key ignoring ASCII case, 7 otherwise.
"""
import re
import sys

PATTERNS = [r"image/.*", r"audio/.*", r"video/.*",
            r"application/.*(zip|tar|compress|archive|rar|7z|bzip|xz|lzma|lzip|zstd|cpio|lha|lzh|arj|stuffit|cab|ace)\b.*",
            r"text/.*|application/(pdf|msword|rtf|vnd\.oasis\.opendocument\..*|vnd\.openxmlformats-officedocument\..*"
            r"|vnd\.ms-(excel|powerpoint|word).*)"]
lists = [[], [], [], [], []]
keys = ["notanext", "jpgx", "xjpg", "zz9", "tar.gz"]
upper = lambda text: "".join(chr(ord(c) - 32) if "a" <= c <= "z" else c for c in text)
for line in open(sys.argv[1], encoding="ascii", errors="replace"):
    mime, *exts = line.split("#", 1)[0].split() or [""]
    category = next((i for i, p in enumerate(PATTERNS) if re.fullmatch(p, mime)), None)
    if category is not None:
        lists[category] += exts
    for e in exts:
        keys += [e, upper(e), "".join(c.upper() if i % 2 else c for i, c in enumerate(e))]
print(*(";".join(exts) for exts in lists), sep="\n")
folded = [set(map(upper, exts)) for exts in lists]
for key in keys:
    print(key, next((i + 2 for i, s in enumerate(folded) if upper(key) in s), 7))
