"""Writes compressed-file samples for the decmpfs reader's tests into OUTDIR.

zlib streams come from Python's zlib; LZVN streams from the small greedy
encoder below, written from the published opcode layout apart from the
scanner's decoder (it uses every opcode kind but the no-op). For each
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
MAX_M = {0: 10, 1: 8, 2: 6, 3: 4}  # longest match each literal count allows


def lzvn_encode(data):
    out = bytearray()
    table = {}
    prev = 0
    i = lit = 0

    def literals(run):
        while len(run) > 3:
            n = min(len(run) - 3, 271)
            if n < 16:
                out.append(0xE0 | n)
            else:
                out.extend([0xE0, n - 16])
            out.extend(run[:n])
            run = run[n:]
        return run

    def repeat(m):
        while m:
            n = min(m, 271)
            if n < 16:
                out.append(0xF0 | n)
            else:
                out.extend([0xF0, n - 16])
            m -= n

    while i + 3 <= len(data):
        key = bytes(data[i:i + 3])
        cand = table.get(key)
        table[key] = i
        if cand is None or i - cand > 0xFFFF:
            i += 1
            continue
        m = 3
        while i + m < len(data) and data[cand + m] == data[i + m] and m < 600:
            m += 1
        d = i - cand
        run = literals(data[lit:i])
        L = len(run)
        if d == prev and L == 0:
            repeat(m)
        else:
            if d == prev:
                first = min(m, MAX_M[L])
                out.append(L << 6 | (first - 3) << 3 | 6)
            elif d < 1536:
                first = min(m, MAX_M[L])
                out += bytes([L << 6 | (first - 3) << 3 | d >> 8, d & 0xFF])
            elif d < 0x4000:
                first = min(m, 34)
                out += bytes([0xA0 | L << 3 | (first - 3) >> 2, (d & 0x3F) << 2 | (first - 3) & 3, d >> 6])
            else:
                first = min(m, MAX_M[L])
                out += bytes([L << 6 | (first - 3) << 3 | 7, d & 0xFF, d >> 8])
            out.extend(run)
            repeat(m - first)
        prev = d
        i += m
        lit = i
    run = data[lit:]
    while run:
        n = min(len(run), 271)
        out += bytes([0xE0 | n]) if n < 16 else bytes([0xE0, n - 16])
        out.extend(run[:n])
        run = run[n:]
    return bytes(out) + b"\x06" + b"\x00" * 7


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
