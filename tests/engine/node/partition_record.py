#!/usr/bin/env python3
"""Packs and unpacks the 104-byte stored partition record with struct, from
the field table alone, as an oracle for the engine's reader and writer.

  partition_record.py pack F1 ... F14   -> hex of the record (header, private
                                            data and padding zero)
  partition_record.py random SEED COUNT -> COUNT lines: hex, then the fields
                                            (junk in header and padding)

Fields, in order: partition index, file-system type, sectors per cluster,
first data sector, volume start, reserved64, matched count, sector size,
reserved68, total sectors, score, weight bits (u64 of the double),
reserved96, reserved100.
"""
import random
import struct
import sys

LAYOUT = "<QQHHIIIqqqqIIQQdII"
assert struct.calcsize(LAYOUT) == 104


def pack(fields, header=0, private=0, pad18=0, pad28=0):
    (index, fstype, spc, first, start, res48, matched, sector, res68, total,
     score, weight_bits, res96, res100) = fields
    weight = struct.unpack("<d", struct.pack("<Q", weight_bits))[0]
    return struct.pack(LAYOUT, header, private, index, pad18, fstype, spc, pad28,
                       first, start, res48, matched, sector, res68, total, score,
                       weight, res96, res100)


def main():
    if sys.argv[1] == "pack":
        print(pack([int(v, 0) for v in sys.argv[2:16]]).hex())
        return
    rng = random.Random(int(sys.argv[2]))
    for _ in range(int(sys.argv[3])):
        s64 = lambda: rng.randrange(-2**63, 2**63)
        fields = [rng.randrange(2**16), rng.randrange(10), rng.choice([1, 2, 8, 64, 128]),
                  s64(), s64(), s64(), s64(), rng.choice([512, 1024, 2048, 4096]),
                  rng.randrange(2**32), rng.randrange(2**64), rng.randrange(2**64),
                  struct.unpack("<Q", struct.pack("<d", rng.uniform(-1e6, 1e6)))[0],
                  rng.randrange(2**32), rng.randrange(2**32)]
        record = pack(fields, rng.randrange(2**64), rng.randrange(2**64),
                      rng.randrange(2**16), rng.randrange(2**32))
        print(record.hex(), " ".join(str(f) for f in fields))


if __name__ == "__main__":
    main()
