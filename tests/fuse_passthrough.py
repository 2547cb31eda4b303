#!/usr/bin/python3
# A pass-through FUSE file system for the tests: mounts SOURCE at MOUNT,
# hands to SOURCE the calls that a conversion makes, and appends each fsync,
# fsyncdir, rename and unlink to LOG, one line each ("fsync /path",
# "rename /old /new"), so that a test can check in which order the program
# asked for them.
#
# Usage: fuse_passthrough.py SOURCE MOUNT LOG   (runs in the foreground)

import errno
import os
import sys

from fusepy import FUSE, FuseOSError, Operations


class Passthrough(Operations):
    def __init__(self, source, log):
        self.source = source
        self.log = open(log, "a", buffering=1)

    def _full(self, path):
        return os.path.join(self.source, path.lstrip("/"))

    def _note(self, *words):
        self.log.write(" ".join(words) + "\n")

    def access(self, path, mode):
        if not os.access(self._full(path), mode):
            raise FuseOSError(errno.EACCES)

    def chmod(self, path, mode):
        return os.chmod(self._full(path), mode)

    def chown(self, path, uid, gid):
        return os.chown(self._full(path), uid, gid)

    def getattr(self, path, fh=None):
        st = os.lstat(self._full(path))
        keys = ("st_atime", "st_ctime", "st_gid", "st_mode", "st_mtime", "st_nlink", "st_size",
                "st_uid", "st_ino")
        attributes = {key: getattr(st, key) for key in keys}
        attributes["st_atime"] = st.st_atime_ns / 1e9
        attributes["st_mtime"] = st.st_mtime_ns / 1e9
        attributes["st_ctime"] = st.st_ctime_ns / 1e9
        return attributes

    def readdir(self, path, fh):
        return [".", ".."] + os.listdir(self._full(path))

    def statfs(self, path):
        st = os.statvfs(self._full(path))
        keys = ("f_bavail", "f_bfree", "f_blocks", "f_bsize", "f_favail", "f_ffree", "f_files",
                "f_flag", "f_frsize", "f_namemax")
        return {key: getattr(st, key) for key in keys}

    def unlink(self, path):
        self._note("unlink", path)
        return os.unlink(self._full(path))

    def rename(self, old, new):
        self._note("rename", old, new)
        return os.rename(self._full(old), self._full(new))

    def utimens(self, path, times=None):
        return os.utime(self._full(path), ns=times and tuple(int(t * 1e9) for t in times))

    def open(self, path, flags):
        return os.open(self._full(path), flags)

    def create(self, path, mode, fi=None):
        return os.open(self._full(path), os.O_RDWR | os.O_CREAT | os.O_EXCL, mode)

    def read(self, path, length, offset, fh):
        return os.pread(fh, length, offset)

    def write(self, path, buf, offset, fh):
        return os.pwrite(fh, buf, offset)

    def release(self, path, fh):
        return os.close(fh)

    def fsync(self, path, fdatasync, fh):
        self._note("fsync", path)
        return os.fsync(fh)

    def fsyncdir(self, path, datasync, fh):
        self._note("fsyncdir", path)
        return 0


if __name__ == "__main__":
    source, mount, log = sys.argv[1:4]
    FUSE(Passthrough(source, log), mount, foreground=True, nothreads=True, allow_other=True,
         use_ino=True)
