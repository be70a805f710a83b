#!/usr/bin/env python3
"""Seeds for the scanresult_loader fuzz target: saved scan results written
from the layout (archive header with its CRC-16, frames, records), not by the
application's writer.

Usage: make-rsf-seeds.py OUTDIR
"""
import os
import struct
import sys
import zlib

SIGN = bytes.fromhex("EAF4B31C0543B64AB4B8244A33D913BB")
SCAN_KIND = bytes.fromhex("94639B4081F6884EA20F5D635782ED75")
DEVICE = bytes.fromhex("76A672B048058B46BA9E91093A63B517")
NODES = bytes.fromhex("6CF208D28C07344E9D71D91F535F7B57")
PLACE = bytes.fromhex("3E1B7A52C4094D8FB6215AE3904C17D8")
IDENTITY = bytes.fromhex("60E86B770AD449EB97CB42F95D9F02EC")
CHECKS = bytes.fromhex("232DB331B2CF4579B7AE227FFEDB9C7A")
PROMISE = bytes.fromhex("C5F7287ADDC041D6B388FB81C7FE9FD4")


def crc16(data):
    crc = 0
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x8005) if crc & 0x8000 else (crc << 1)
            crc &= 0xFFFF
    return crc


def header(status=1):
    raw = SIGN + struct.pack("<IIII", 5800, 0, status, 0) + bytes(100)
    return raw[:20] + struct.pack("<I", crc16(raw)) + raw[24:]


def frame(guid, payload):
    return SIGN + guid + struct.pack("<I", len(payload)) + payload


def text(s):
    b = s.encode()
    return struct.pack("<I", len(b)) + b


def file_record(node_id, parent, name, size=100, folder=False, deleted=0, runs=((8, 2),), resident=0, partition=0):
    out = struct.pack("<qqQH", node_id, parent, size, 0x20 if not folder else 0x10)
    out += struct.pack("<QQQ", 132000000000000000, 132000000000000001, 132000000000000002)
    out += struct.pack("<IIII", 1 if folder else 0, deleted, len(runs), resident)
    for start, length in runs:
        out += struct.pack("<qQ", start, length)
    out += text(name) + struct.pack("<IHqI", 1, partition, -1, 0)
    return out


def partition_entry(index=0, kind=4, fs_type=6, spc=1, start=0, sector=512, total=1 << 16):
    rec = bytearray(104)
    struct.pack_into("<H", rec, 16, index)
    struct.pack_into("<II", rec, 20, fs_type, spc)
    struct.pack_into("<qq", rec, 32, start, start)
    struct.pack_into("<I", rec, 64, sector)
    struct.pack_into("<QQd", rec, 72, total, 1, 1.0)
    return struct.pack("<I", kind) + bytes(rec)


class Section(bytes):
    """A root section's bytes, and how many records it holds."""
    records = 0


def section(root_id, searcher, volume, partitions, files):
    out = struct.pack("<I", 1)
    out += file_record(root_id, -1, "root", size=0, folder=True, runs=(), partition=0xFFFF)
    out += struct.pack("<I", searcher) + text(volume)
    out += struct.pack("<I", len(partitions)) + b"".join(partitions)
    for f in files:
        out += struct.pack("<I", 0) + f
    out = Section(out + struct.pack("<I", 0xFFFFFFFF))
    out.records = 1 + len(files)
    return out


def result(sections, kind=(2, 1), device_name="stick", places=None, identities=None, checked=False, promised=None):
    scan_kind = struct.pack("<III", 8, *kind)
    device = struct.pack("<QiiiI", 1 << 26, 0, -1, -1, len(device_name)) + device_name.encode()
    nodes = struct.pack("<Q", len(sections)) + b"".join(sections)
    out = header()
    if promised is not None:
        # The frames the file must hold: their count, then their GUIDs.
        promise = struct.pack("<I", len(promised)) + b"".join(promised)
        out += frame(PROMISE, promise)
    out += frame(SCAN_KIND, scan_kind) + frame(DEVICE, device) + frame(NODES, nodes)
    if places is not None:
        # Where the device lies on its disk, the disk's capacity and name,
        # then each tree's volume: its start on the device and its sectors.
        place = struct.pack("<IqQ", 20 + len(device_name), 0, 1 << 26) + text(device_name)
        place += struct.pack("<Q", len(places))
        place += b"".join(struct.pack("<qQ", start, sectors) for start, sectors in places)
        out += frame(PLACE, place)
    frames = [(SCAN_KIND, scan_kind), (DEVICE, device), (NODES, nodes)] + ([(PLACE, place)] if places else [])
    if promised is not None:
        frames.insert(0, (PROMISE, promise))
    if identities is not None:
        # Per tree: where each volume's boot region lies, its kind, its value.
        ident = struct.pack("<Q", len(identities))
        for entries in identities:
            ident += struct.pack("<I", len(entries))
            ident += b"".join(struct.pack("<QII", at, kind, len(v)) + v for at, kind, v in entries)
        out += frame(IDENTITY, ident)
        frames.append((IDENTITY, ident))
    if checked:
        # zlib's CRC-32 of every frame, then of each tree's section.
        checks = struct.pack("<I", len(frames))
        checks += b"".join(g + struct.pack("<II", len(p), zlib.crc32(p)) for g, p in frames)
        checks += struct.pack("<Q", len(sections))
        checks += b"".join(struct.pack("<QQI", len(sec), sec.records, zlib.crc32(sec))
                           for sec in sections)
        checks += struct.pack("<I", zlib.crc32(checks))
        out += frame(CHECKS, checks)
    return out


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    raw_tree = section(1, 34, "v", [partition_entry()],
                       [file_record(20, 1, "JPG", folder=True, runs=()), file_record(21, 20, "a.jpg"),
                        file_record(22, 1, "b.mp3", deleted=1, runs=((40, 1), (-1, 3), (41, 2)))])
    ntfs_tree = section(5, 35, "v", [partition_entry(0, 0, 3, 8, 2048), partition_entry(1, 0, 3, 8, 90000)],
                        [file_record(30, 5, "Users", folder=True, runs=()),
                         file_record(31, 30, "note.txt", size=40, runs=((4100, 1),), resident=1),
                         file_record(32, 30, "lost.bin", partition=1),
                         file_record(-1, -1, "Other lost files", folder=True, runs=()),
                         file_record(33, 77, "orphan.doc")])
    fat_trees = [section(9, 32, "v", [partition_entry(0, 1, 1, 4)], [file_record(40, 9, "x.txt")]),
                 section(9, 32, "v", [partition_entry(0, 1, 1, 4)], [file_record(41, 9, "y.txt")])]
    seeds = {
        "empty.rsf": result([]),
        "raw.rsf": result([raw_tree]),
        "ntfs.rsf": result([ntfs_tree], kind=(0, 0)),
        "two-volumes-one-name.rsf": result(fat_trees, kind=(0, 0)),
        "no-partitions.rsf": result([section(3, 33, "v", [], [])]),
        "all.rsf": result([raw_tree, ntfs_tree] + fat_trees),
        "placed.rsf": result([ntfs_tree] + fat_trees, kind=(0, 0), places=[(2048, 4096), (8192, 1024), (-1, 0)]),
    }
    # Identities of each kind and check values; the third tree's section
    # changed after its check value was taken.
    identities = [[(0, 3, bytes(range(8)))], [(0, 1, b"\x4d\x3c\x2b\x1a"), (4096, 5, bytes(8))], []]
    checked = result([ntfs_tree] + fat_trees, kind=(0, 0), places=[(2048, 4096), (8192, 1024), (-1, 0)],
                     identities=identities, checked=True)
    seeds["checked.rsf"] = checked
    # A file that promises its places, identities and check values, whole,
    # and the same cut just before its identities.
    promised = result([ntfs_tree] + fat_trees, kind=(0, 0), places=[(2048, 4096), (8192, 1024), (-1, 0)],
                      identities=identities, checked=True, promised=[PLACE, IDENTITY, CHECKS])
    seeds["promised.rsf"] = promised
    seeds["promised-cut"] = promised[:promised.index(SIGN + IDENTITY)]
    at = checked.index(b"y.txt")
    seeds["checked-tree-changed"] = checked[:at] + b"z" + checked[at + 1:]
    # Records that fit their frames but not the fuzz target's 8 MiB device: a
    # size of 4.5 PB, a run past the device's end, one hole of 2^40 clusters,
    # a deleted flag of 2 and a partition that starts past the end. Without
    # the ".rsf" of whole files: the load leaves them out or cuts them.
    impossible = section(1, 35, "v", [partition_entry(0, 0, 3, 8), partition_entry(1, 0, 3, 8, 1 << 20)],
                         [file_record(50, 1, "huge.bin", size=4500000000000000),
                          file_record(51, 1, "past.bin", size=8192, runs=((2040, 2), (4000, 8))),
                          file_record(52, 1, "hole.bin", size=4500000000000000, runs=((-1, 1 << 40),)),
                          file_record(53, 1, "flag.bin", deleted=2),
                          file_record(54, 1, "far.bin", partition=1)])
    seeds["impossible-records"] = result([impossible])
    # Two trees of one searcher whose records share an index but place their
    # volumes apart: each file is read through its own tree's record, also
    # one whose index names none. And records of a volume counted in 4096-byte
    # sectors: a resident file's record sector counts in them too (one inside
    # the 8 MiB device, one past its end).
    shared = [section(9, 32, "v", [partition_entry(0, 1, 1, 4, 2048)],
                      [file_record(40, 9, "x.txt"), file_record(42, 9, "z.txt", partition=7)]),
              section(10, 32, "v", [partition_entry(0, 1, 1, 4, 12000)],
                      [file_record(41, 10, "y.txt"), file_record(43, 10, "w.txt", partition=7)]),
              section(11, 35, "v", [partition_entry(0, 0, 3, 1, 16, 4096, 2048)],
                      [file_record(60, 11, "in.txt", size=300, runs=((1000, 1),), resident=1),
                       file_record(61, 11, "out.txt", size=300, runs=((3000, 1),), resident=1)])]
    seeds["shared-index.rsf"] = result(shared)
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
