#!/usr/bin/python3
"""Independent reader and writer of the archive container, for tests.

Written from the file layout alone (struct, hashlib and crcmod), so that the
tests compare the engine's archives with a second implementation.

  archive_tool.py crc FILE [POLY]       CRC-16 of FILE's bytes (default 0x18005), decimal
  archive_tool.py dump FILE             header and frames, one line each
  archive_tool.py make OUT [options]    build an archive (see --help)
"""
import argparse
import hashlib
import struct
import sys

import crcmod

SIGNATURE = bytes.fromhex("EAF4B31C0543B64AB4B8244A33D913BB")
HEADER_SIZE = 132
FRAME_HEADER_SIZE = 36
HASH_LIMIT = 64 << 20


def crc16(data, poly=0x18005):
    return crcmod.mkCrcFun(poly, initCrc=0, rev=False, xorOut=0)(data)


def header_bytes(status, version, description, desc_length, check=None, check_or=0, signature=SIGNATURE):
    desc = description.ljust(100, b"\0")[:100]
    raw = signature + struct.pack("<IIII", version, 0, status, desc_length) + desc
    value = (crc16(raw) if check is None else check) | check_or
    return raw[:20] + struct.pack("<I", value) + raw[24:]


def cmd_crc(args):
    with open(args.file, "rb") as f:
        data = f.read()
    print(crc16(data, int(args.poly, 0)))


def cmd_dump(args):
    with open(args.file, "rb") as f:
        f.seek(0, 2)
        size = f.tell()
        f.seek(0)
        raw = f.read(HEADER_SIZE)
        if len(raw) < HEADER_SIZE:
            print("header short=%d" % len(raw))
            return
        version, check, status, desc_length = struct.unpack("<IIII", raw[16:32])
        zeroed = raw[:20] + b"\0\0\0\0" + raw[24:]
        print("header sign_ok=%d version=%d check_ok=%d status=%d desc_length=%d desc=%s" % (
            raw[:16] == SIGNATURE, version, crc16(zeroed) == check, status, desc_length,
            raw[32:32 + min(desc_length, 100)].hex()))
        offset = HEADER_SIZE
        while offset + FRAME_HEADER_SIZE <= size:
            f.seek(offset)
            frame = f.read(FRAME_HEADER_SIZE)
            length = struct.unpack("<I", frame[32:36])[0]
            start = offset + FRAME_HEADER_SIZE
            present = max(0, min(length, size - start))
            if length <= HASH_LIMIT:
                digest = hashlib.sha256(f.read(present)).hexdigest()
            else:
                digest = "skipped"
            print("frame offset=%d sign_ok=%d id=%s length=%d present=%d payload_sha256=%s" % (
                offset, frame[:16] == SIGNATURE, frame[16:32].hex(), length, present, digest))
            offset = start + length
        print("end size=%d" % size)


def cmd_make(args):
    description = bytes.fromhex(args.desc_hex) if args.desc_hex else args.desc.encode()
    desc_length = len(description) if args.desc_length is None else args.desc_length
    out = header_bytes(args.status, args.version, description, desc_length,
                       None if args.check is None else int(args.check, 0), int(args.check_or, 0),
                       bytes.fromhex(args.sign) if args.sign else SIGNATURE)
    for spec in args.frame:
        # ID_HEX:PAYLOAD_HEX[:LENGTH[:SIGNATURE_HEX]]
        parts = spec.split(":")
        ident = bytes.fromhex(parts[0])
        payload = bytes.fromhex(parts[1]) if len(parts) > 1 else b""
        length = int(parts[2], 0) if len(parts) > 2 and parts[2] else len(payload)
        sign = bytes.fromhex(parts[3]) if len(parts) > 3 else SIGNATURE
        out += sign + ident + struct.pack("<I", length) + payload
    with open(args.out, "wb") as f:
        f.write(out[:args.cut] if args.cut is not None else out)


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("crc")
    p.add_argument("file")
    p.add_argument("poly", nargs="?", default="0x18005")
    p.set_defaults(run=cmd_crc)
    p = sub.add_parser("dump")
    p.add_argument("file")
    p.set_defaults(run=cmd_dump)
    p = sub.add_parser("make")
    p.add_argument("out")
    p.add_argument("--status", type=int, default=1)
    p.add_argument("--version", type=int, default=5800)
    p.add_argument("--desc", default="")
    p.add_argument("--desc-hex")
    p.add_argument("--desc-length", type=int, help="stored length (default: the text's)")
    p.add_argument("--check", help="stored check value instead of the computed one")
    p.add_argument("--check-or", default="0", help="bits set in the stored check value")
    p.add_argument("--sign", help="header signature instead of the archive's (hex)")
    p.add_argument("--frame", action="append", default=[],
                   help="ID_HEX:PAYLOAD_HEX[:LENGTH[:SIGNATURE_HEX]]")
    p.add_argument("--cut", type=int, help="keep only this many bytes")
    p.set_defaults(run=cmd_make)
    args = parser.parse_args()
    args.run(args)


if __name__ == "__main__":
    sys.exit(main())
