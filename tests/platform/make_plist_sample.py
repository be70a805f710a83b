#!/usr/bin/env python3
"""Writes a sample property list (XML, by Python's plistlib) and the values it
holds as canonical JSON, so that tests compare what our reader sees with what
an independent reader sees.

usage: make_plist_sample.py OUT.plist OUT.json
       make_plist_sample.py --canon IN.plist OUT.json   (canonical JSON of any plist)
"""
import base64
import datetime
import json
import plistlib
import sys


def canon(value):
    if isinstance(value, dict):
        return {k: canon(v) for k, v in value.items()}
    if isinstance(value, list):
        return [canon(v) for v in value]
    if isinstance(value, bool):
        return {"bool": value}
    if isinstance(value, int):
        return {"int": str(value)}
    if isinstance(value, float):
        return {"real": repr(value)}
    if isinstance(value, str):
        return {"str": value}
    if isinstance(value, bytes):
        return {"data": base64.b64encode(value).decode()}
    if isinstance(value, datetime.datetime):
        return {"date": value.strftime("%Y-%m-%dT%H:%M:%SZ")}
    raise TypeError(type(value))


SAMPLE = {
    "VersionCheck": 42,
    "Negative": -17,
    "Large": 2**40 + 3,
    "Ratio": 0.1,
    "Scale": 1.5e22,
    "Yes": True,
    "No": False,
    "Name": "Clipmender \u00e9t\u00e9 \u65e5\u672c \U0001F600",
    "Empty": "",
    "Escapes": "a < b & c > \"d\"",
    "Stamp": datetime.datetime(2013, 5, 31, 23, 59, 58),
    "Blob": bytes(range(256)),
    "Links": {
        "en": {"IniURL": "http://example.invalid/version.plist", "AboutURL": "http://example.invalid/about"},
        "fr": {"IniURL": "http://example.invalid/fr/version.plist"},
    },
    "1": ["jpg", "png", "gif"],
    "Nested": [[1, [2, [3, []]]], {}, [{"k": "v"}]],
}


def main(argv):
    if len(argv) == 4 and argv[1] == "--canon":
        with open(argv[2], "rb") as f:
            value = plistlib.load(f)
        out = argv[3]
    elif len(argv) == 3:
        with open(argv[1], "wb") as f:
            plistlib.dump(SAMPLE, f, fmt=plistlib.FMT_XML)
        value = SAMPLE
        out = argv[2]
    else:
        sys.stderr.write(__doc__)
        return 2
    with open(out, "w", encoding="utf-8") as f:
        json.dump(canon(value), f, ensure_ascii=False, sort_keys=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
