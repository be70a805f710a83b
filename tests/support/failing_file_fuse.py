#!/usr/bin/python3
"""Serves a copy of an image that answers an I/O error where a failing disk would.

usage: failing_file_fuse.py [--refuse-direct] IMAGE MOUNTPOINT [START:LENGTH | @FILE ...]

MOUNTPOINT/disk.img reads as IMAGE, except that a read meeting any of the
byte ranges START:LENGTH answers EIO (the whole read, as a block device
answers a request holding one unreadable sector). @FILE names a file of
such ranges, one a line, read again whenever it changes: a medium that goes
bad while it is in use (a missing file is no range). Reads go straight to this
server (direct_io), so the only page cache in front of the file is that of
whatever reads it (a loop device on it). O_DIRECT opens are served too,
unless --refuse-direct says to refuse them with EINVAL, as some file systems
do. The file is read-only; the server runs in the foreground until the
mount point is unmounted.
"""
import errno
import os
import stat
import sys

try:
    from fusepy import FUSE, FuseOSError, Operations
except ImportError:  # the module under its upstream name
    from fuse import FUSE, FuseOSError, Operations


class FailingFile(Operations):
    NAME = "/disk.img"

    def __init__(self, image, bad, bad_files, refuse_direct):
        self.fd = os.open(image, os.O_RDONLY)
        self.size = os.fstat(self.fd).st_size
        self.bad = bad
        self.bad_files = {path: (None, []) for path in bad_files}
        self.refuse_direct = refuse_direct

    def ranges(self):
        ranges = list(self.bad)
        for path, (seen, listed) in list(self.bad_files.items()):
            try:
                st = os.stat(path)
                stamp = (st.st_mtime_ns, st.st_size)
                if stamp != seen:
                    with open(path) as f:
                        listed = [parse(line) for line in f if line.strip()]
                    self.bad_files[path] = (stamp, listed)
            except FileNotFoundError:
                listed = []
                self.bad_files[path] = (None, listed)
            ranges.extend(listed)
        return ranges

    def getattr(self, path, fh=None):
        if path == "/":
            return {"st_mode": stat.S_IFDIR | 0o555, "st_nlink": 2}
        if path == self.NAME:
            return {"st_mode": stat.S_IFREG | 0o444, "st_nlink": 1, "st_size": self.size}
        raise FuseOSError(errno.ENOENT)

    def readdir(self, path, fh):
        return [".", "..", self.NAME[1:]]

    def open(self, path, flags):
        if path != self.NAME:
            raise FuseOSError(errno.ENOENT)
        if flags & (os.O_WRONLY | os.O_RDWR):
            raise FuseOSError(errno.EROFS)
        if self.refuse_direct and flags & os.O_DIRECT:
            raise FuseOSError(errno.EINVAL)
        return 0

    def read(self, path, size, offset, fh):
        for start, length in self.ranges():
            if offset < start + length and start < offset + size:
                raise FuseOSError(errno.EIO)
        return os.pread(self.fd, size, offset)


def parse(text):
    start, length = text.strip().split(":")
    return int(start), int(length)


def main(argv):
    refuse_direct = "--refuse-direct" in argv
    args = [a for a in argv if a != "--refuse-direct"]
    if len(args) < 2:
        sys.stderr.write(__doc__)
        return 64
    bad = [parse(arg) for arg in args[2:] if not arg.startswith("@")]
    bad_files = [arg[1:] for arg in args[2:] if arg.startswith("@")]
    FUSE(FailingFile(args[0], bad, bad_files, refuse_direct), args[1], foreground=True, ro=True, direct_io=True,
         nothreads=False)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
