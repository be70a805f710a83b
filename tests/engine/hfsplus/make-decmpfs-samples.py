"""Writes compressed-file samples for the decmpfs reader's tests into OUTDIR.

zlib streams come from Python's zlib; LZVN streams from the small greedy
encoder of tests/fixtures/hfsplus/lzvn_encode.py, written from the published
opcode layout apart from the scanner's decoder. For each
sample NAME: NAME.raw (the content), NAME.attr (the decmpfs attribute) and,
for the resource-fork kinds, NAME.fork.
Usage: make-decmpfs-samples.py OUTDIR (does nothing when OUTDIR holds this
version's samples; callers serialise runs with flock).
"""
import hashlib
import os
import random
import struct
import sys
import zlib

CHUNK = 0x10000
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../fixtures/hfsplus"))
from lzvn_encode import lzvn_encode  # noqa: E402


def header(kind, size):
    return struct.pack("<IIQ", 0x636D7066, kind, size)


def zlib_fork(chunks):
    """Classic resource-fork layout: head, data length, count, entries."""
    body = b"".join(chunks)
    table = struct.pack("<I", len(chunks))
    pos = 4 + 8 * len(chunks)
    for c in chunks:
        table += struct.pack("<II", pos, len(c))
        pos += len(c)
    data = table + body
    return struct.pack(">IIII", 0x100, 0x100 + 4 + len(data), len(data), 0x32) + b"\0" * (0x100 - 16) + \
        struct.pack(">I", len(data)) + data


def lzvn_fork(chunks):
    offsets = [4 * (len(chunks) + 1)]
    for c in chunks:
        offsets.append(offsets[-1] + len(c))
    return struct.pack("<%dI" % len(offsets), *offsets) + b"".join(chunks)


def write(out, name, raw, attr, fork=None):
    open(os.path.join(out, name + ".raw"), "wb").write(raw)
    open(os.path.join(out, name + ".attr"), "wb").write(attr)
    if fork is not None:
        open(os.path.join(out, name + ".fork"), "wb").write(fork)


out = sys.argv[1]
os.makedirs(out, exist_ok=True)
stamp = hashlib.sha256(open(__file__, "rb").read()).hexdigest()
if os.path.exists(os.path.join(out, ".stamp")) and open(os.path.join(out, ".stamp")).read() == stamp:
    sys.exit(0)
rng = random.Random(27)
words = "journal catalog extent volume allocation record deleted block node leaf".split()
text = " ".join(rng.choice(words) for _ in range(60000)).encode()[:3 * CHUNK]
noise = bytes(rng.getrandbits(8) for _ in range(CHUNK))
# Repeats at every distance class: short, medium, long.
mixed = bytearray()
for n in range(3000):
    mixed += text[n * 7 % 5000:n * 7 % 5000 + 20] + noise[n % 900:n % 900 + 5]
mixed = bytes(mixed[:70000]) + text[:1000] * 3

small = text[:3000]
write(out, "zlib-inline", small, header(3, len(small)) + zlib.compress(small, 9))
write(out, "zlib-inline-stored", b"tiny\n", header(3, 5) + b"\xff" + b"tiny\n")
write(out, "lzvn-inline", small, header(7, len(small)) + lzvn_encode(small))
write(out, "lzvn-inline-tiny", b"abc", header(7, 3) + lzvn_encode(b"abc"))
write(out, "lzvn-inline-stored", b"hello", header(7, 5) + b"\x06hello")
content = text + noise + mixed
chunks = [content[i:i + CHUNK] for i in range(0, len(content), CHUNK)]
# The noise chunk does not shrink and is stored behind its marker.
zchunks = [b"\xff" + c if c == noise else zlib.compress(c, 9) for c in chunks]
write(out, "zlib-fork", content, header(4, len(content)), zlib_fork(zchunks))
vchunks = [b"\x06" + c if c == noise else lzvn_encode(c) for c in chunks]
write(out, "lzvn-fork", content, header(8, len(content)), lzvn_fork(vchunks))
# Two-chunk forks, small enough for fuzz seeds.
short = [text[:CHUNK], text[CHUNK:CHUNK + 5000]]
write(out, "zlib-fork-short", b"".join(short), header(4, CHUNK + 5000), zlib_fork([zlib.compress(c, 9) for c in short]))
write(out, "lzvn-fork-short", b"".join(short), header(8, CHUNK + 5000), lzvn_fork([lzvn_encode(c) for c in short]))
open(os.path.join(out, ".stamp"), "w").write(stamp)
