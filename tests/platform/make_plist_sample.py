#!/usr/bin/env python3
"""Writes a sample property list (XML, by plistlib) and the values it holds as
canonical JSON, so tests compare our reader with an independent one.
usage: make_plist_sample.py OUT.plist OUT.json"""
import base64, datetime, json, plistlib, sys


def canon(v):
    if isinstance(v, dict):
        return {k: canon(x) for k, x in v.items()}
    if isinstance(v, list):
        return [canon(x) for x in v]
    for kind, tag, text in ((bool, "bool", lambda b: b), (int, "int", str), (float, "real", repr), (str, "str", str),
                            (bytes, "data", lambda b: base64.b64encode(b).decode()),
                            (datetime.datetime, "date", lambda d: d.strftime("%Y-%m-%dT%H:%M:%SZ"))):
        if isinstance(v, kind):
            return {tag: text(v)}
    raise TypeError(type(v))


SAMPLE = {
    "VersionCheck": 42, "Negative": -17, "Large": 2**40 + 3, "Ratio": 0.1, "Scale": 1.5e22, "Yes": True, "No": False,
    "Name": "Clipmender \u00e9t\u00e9 \u65e5\u672c \U0001F600", "Empty": "", "Escapes": "a < b & c > \"d\"",
    "Stamp": datetime.datetime(2013, 5, 31, 23, 59, 58), "Blob": bytes(range(256)),
    "Links": {"en": {"IniURL": "http://example.invalid/version.plist", "AboutURL": "http://example.invalid/about"},
              "fr": {"IniURL": "http://example.invalid/fr/version.plist"}},
    "1": ["jpg", "png", "gif"], "Nested": [[1, [2, [3, []]]], {}, [{"k": "v"}]],
}

if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    with open(sys.argv[1], "wb") as f:
        plistlib.dump(SAMPLE, f, fmt=plistlib.FMT_XML)
    with open(sys.argv[2], "w", encoding="utf-8") as f:
        json.dump(canon(SAMPLE), f, ensure_ascii=False, sort_keys=True)
