"""A folder seen through FUSE with modification times kept to 2 seconds, as FAT keeps them.

A FAT directory entry holds the time of day in 2-second units (Microsoft's FAT32 file system,
DIR_WrtTime) and Linux's vfat drops the odd second (fat_time_unix2fat), so every file reads back
with an even-second time, whoever set it. The rest passes through to the folder: what a copy
into it needs, no more.

Usage (root, Debian's python3-fusepy): two_second_times.py FOLDER MOUNT_POINT. It runs until
the mount point is unmounted.
"""

import os
import sys

from fusepy import FUSE, FuseOSError, Operations

TWO_SECONDS_NS = 2_000_000_000


class TwoSecondTimes(Operations):
    use_ns = True  # times as nanoseconds, in getattr and utimens

    def __init__(self, folder):
        self.folder = folder

    def __call__(self, operation, *args):
        try:
            return super().__call__(operation, *args)
        except OSError as error:
            raise FuseOSError(error.errno) from None

    def _real(self, path):
        return self.folder + path

    def getattr(self, path, fh=None):
        st = os.lstat(self._real(path))
        attrs = {key: getattr(st, key) for key in (
            "st_mode", "st_nlink", "st_uid", "st_gid", "st_size", "st_ino", "st_blocks")}
        attrs.update(st_atime=st.st_atime_ns, st_ctime=st.st_ctime_ns,
                     st_mtime=st.st_mtime_ns // TWO_SECONDS_NS * TWO_SECONDS_NS)
        return attrs

    def readdir(self, path, fh):
        return [".", ".."] + os.listdir(self._real(path))

    def create(self, path, mode, fi=None):
        return os.open(self._real(path), os.O_RDWR | os.O_CREAT, mode)

    def open(self, path, flags):
        return os.open(self._real(path), flags)

    def read(self, path, size, offset, fh):
        return os.pread(fh, size, offset)

    def write(self, path, data, offset, fh):
        return os.pwrite(fh, data, offset)

    def truncate(self, path, length, fh=None):
        os.truncate(self._real(path), length)

    def fsync(self, path, datasync, fh):
        (os.fdatasync if datasync else os.fsync)(fh)

    def release(self, path, fh):
        os.close(fh)

    def utimens(self, path, times=None):
        if times is None:
            os.utime(self._real(path))
        else:
            os.utime(self._real(path), ns=times)

    def chmod(self, path, mode):
        os.chmod(self._real(path), mode)

    def mkdir(self, path, mode):
        os.mkdir(self._real(path), mode)

    def rmdir(self, path):
        os.rmdir(self._real(path))

    def unlink(self, path):
        os.unlink(self._real(path))

    def rename(self, old, new):
        os.rename(self._real(old), self._real(new))

    def link(self, target, source):
        os.link(self._real(source), self._real(target))


if __name__ == "__main__":
    FUSE(TwoSecondTimes(os.path.abspath(sys.argv[1])), sys.argv[2], foreground=True)
