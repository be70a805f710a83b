#!/usr/bin/env python3
"""Damages the size of one file of a copy of a fixture image, as a few changed
bytes on a failing disk would.

  damage-size.py hfsplus IMAGE FILE_ID SIZE NEW_SIZE
      sets the data fork's logical size in every catalog record of FILE_ID
      whose size is SIZE (big-endian, at byte 88 of the file record);
  damage-size.py ntfs IMAGE MFT_OFFSET RECORD_BYTES RECORD NEW_VCN
      sets the start VCN of the first non-resident unnamed $DATA attribute of
      the base record RECORD (the master file table at MFT_OFFSET bytes).

Exits 1 when it finds nothing to change.
"""
import struct
import sys


def hfsplus(image, file_id, size, new_size):
    data = bytearray(open(image, 'rb').read())
    head = struct.pack('>I', file_id)
    changed = 0
    at = data.find(head)
    while at >= 0:
        record = at - 8  # record type, flags, reserved, then the file ID
        if record >= 0 and data[record:record + 2] == b'\x00\x02' and \
                struct.unpack_from('>Q', data, record + 88)[0] == size:
            struct.pack_into('>Q', data, record + 88, new_size)
            changed += 1
        at = data.find(head, at + 1)
    if changed == 0:
        sys.exit('no catalog record of file %d with size %d' % (file_id, size))
    open(image, 'wb').write(data)


def ntfs(image, mft, record_bytes, record, new_vcn):
    with open(image, 'r+b') as f:
        f.seek(mft + record * record_bytes)
        rec = bytearray(f.read(record_bytes))
        if rec[:4] != b'FILE':
            sys.exit('record %d is not a file record' % record)
        at = struct.unpack_from('<H', rec, 0x14)[0]
        while at + 16 <= record_bytes:
            kind, length = struct.unpack_from('<II', rec, at)
            if kind == 0xFFFFFFFF or length == 0:
                break
            if kind == 0x80 and rec[at + 8] == 1 and rec[at + 9] == 0:
                struct.pack_into('<Q', rec, at + 0x10, new_vcn)
                f.seek(mft + record * record_bytes)
                f.write(rec)
                return
            at += length
    sys.exit('record %d has no non-resident unnamed $DATA' % record)


if __name__ == '__main__':
    kind, image, *args = sys.argv[1:]
    if kind == 'hfsplus':
        hfsplus(image, *(int(a, 0) for a in args))
    else:
        ntfs(image, *(int(a, 0) for a in args))
