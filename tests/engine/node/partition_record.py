#!/usr/bin/env python3
"""Random 104-byte stored partition records packed with struct from the field
table alone, as an oracle for the engine's reader and writer.

  partition_record.py random SEED COUNT -> COUNT lines: the record in hex (junk
  in header, private data and padding), then its fields: partition index,
  file-system type, sectors per cluster, first data sector, volume start,
  reserved48, matched count, sector size, reserved68, total sectors, score,
  weight bits (u64 of the double), reserved96, reserved100.
"""
import random
import struct
import sys

rng = random.Random(int(sys.argv[2]))
for _ in range(int(sys.argv[3])):
    s64 = lambda: rng.randrange(-2**63, 2**63)
    u = lambda bits: rng.randrange(2**bits)
    weight = lambda: struct.unpack("<Q", struct.pack("<d", rng.uniform(-1e6, 1e6)))[0]
    f = [u(16), rng.randrange(10), rng.choice([1, 2, 8, 64, 128]), s64(), s64(), s64(), s64(),
         rng.choice([512, 1024, 2048, 4096]), u(32), u(64), u(64), weight(), u(32), u(32)]
    w = struct.unpack("<d", struct.pack("<Q", f[11]))[0]
    record = struct.pack("<QQHHIIIqqqqIIQQdII", u(64), u(64), f[0], u(16), f[1], f[2], u(32), *f[3:11], w, *f[12:])
    print(record.hex(), *f)
