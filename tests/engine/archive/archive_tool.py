#!/usr/bin/python3
"""Independent reader and writer of the archive container for the tests,
written from the file layout with struct, hashlib and python3-crcmod.
  crc FILE [POLY] | dump FILE | make OUT [options]
"""
import argparse
import hashlib
import struct

import crcmod

SIGN = bytes.fromhex("EAF4B31C0543B64AB4B8244A33D913BB")


def crc16(data, poly=0x18005):
    return crcmod.mkCrcFun(poly, initCrc=0, rev=False, xorOut=0)(data)


def dump(args):
    with open(args.file, "rb") as f:
        size = f.seek(0, 2)
        f.seek(0)
        raw = f.read(132)
        version, check, status, dlen = struct.unpack("<4I", raw[16:32])
        print("header sign_ok=%d version=%d check_ok=%d status=%d desc_length=%d desc=%s" % (
            raw[:16] == SIGN, version, crc16(raw[:20] + bytes(4) + raw[24:]) == check, status, dlen,
            raw[32:32 + min(dlen, 100)].hex()))
        at = 132
        while at + 36 <= size:
            f.seek(at)
            head = f.read(36)
            length = struct.unpack("<I", head[32:])[0]
            present = max(0, min(length, size - at - 36))
            payload = f.read(present).hex() if present <= 4096 else "sha256:" + (
                hashlib.sha256(f.read(present)).hexdigest() if present < 1 << 26 else "?")
            print("frame offset=%d sign_ok=%d id=%s length=%d present=%d payload=%s" % (
                at, head[:16] == SIGN, head[16:32].hex(), length, present, payload))
            at += 36 + length
        print("end size=%d" % size)


def make(args):
    desc = args.desc.encode()
    dlen = len(desc) if args.desc_length is None else args.desc_length
    raw = bytes.fromhex(args.sign) + struct.pack("<4I", args.version, 0, args.status, dlen) + desc.ljust(100, b"\0")
    check = (crc16(raw) if args.check is None else int(args.check, 0)) | int(args.check_or, 0)
    out = raw[:20] + struct.pack("<I", check) + raw[24:]
    for spec in args.frame:  # ID:PAYLOAD[:LENGTH[:SIGNATURE]], all hex but LENGTH
        part = spec.split(":") + ["", "", ""]
        payload = bytes.fromhex(part[1])
        length = int(part[2], 0) if part[2] else len(payload)
        out += bytes.fromhex(part[3] or SIGN.hex()) + bytes.fromhex(part[0]) + struct.pack("<I", length) + payload
    with open(args.out, "wb") as f:
        f.write(out[:args.cut])


parser = argparse.ArgumentParser()
sub = parser.add_subparsers(dest="command", required=True)
p = sub.add_parser("crc")
p.add_argument("file")
p.add_argument("poly", nargs="?", default="0x18005")
p.set_defaults(run=lambda a: print(crc16(open(a.file, "rb").read(), int(a.poly, 0))))
p = sub.add_parser("dump")
p.add_argument("file")
p.set_defaults(run=dump)
p = sub.add_parser("make")
p.add_argument("out")
for name, kind, default in [("--status", int, 1), ("--version", int, 5800), ("--desc", str, ""),
                            ("--desc-length", int, None), ("--check", str, None), ("--check-or", str, "0"),
                            ("--sign", str, SIGN.hex()), ("--cut", int, None)]:
    p.add_argument(name, type=kind, default=default)
p.add_argument("--frame", action="append", default=[], help="ID:PAYLOAD[:LENGTH[:SIGNATURE]]")
p.set_defaults(run=make)
args = parser.parse_args()
args.run(args)
