"""Cameras made of a tmpfs, for the end-to-end device tests.

libgphoto2 reports a mounted file system with a DCIM folder at its root as a "Mass Storage
Camera" on a `disk:` port, and picferry names it after the mount point's folder. Mounting needs
root; run inside a private mount namespace (`unshare -m --propagation private`) so that nothing
outside sees the cameras.
"""

import os
import shutil
import subprocess
import tempfile

MIB = 1024 * 1024


def write(path, content=b"", mtime=None):
    """Writes a file (its folders made as needed) and sets its modification time."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(content)
    if mtime is not None:
        os.utime(path, (mtime, mtime))
    return path


class Tmpfs:
    """A tmpfs of the given size mounted at a new temporary folder PARENT/NAME."""

    def __init__(self, name, size):
        self._parent = tempfile.mkdtemp(prefix="picferry-e2e.")
        self.path = os.path.join(self._parent, name)
        os.mkdir(self.path)
        try:
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%s" % size, "picferry-e2e",
                            self.path], check=True)
        except BaseException:
            shutil.rmtree(self._parent)
            raise

    def close(self):
        if self.path is None:
            return
        if subprocess.run(["umount", self.path]).returncode != 0:
            subprocess.run(["umount", "-l", self.path], check=True)
        shutil.rmtree(self._parent)
        self.path = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Camera(Tmpfs):
    """A tmpfs with DCIM at its root: one camera named `name` while it is mounted.

    Only one camera may be mounted at a time, or picferry sees several devices.
    """

    def __init__(self, name, size="64m"):
        super().__init__(name, size)
        self.dcim = os.path.join(self.path, "DCIM")
        os.mkdir(self.dcim)

    def file(self, relative):
        """The path of DCIM/relative."""
        return os.path.join(self.dcim, relative)

    def add(self, relative, content=b"", mtime=None):
        """Writes DCIM/relative (folders made as needed) and sets its modification time."""
        return write(self.file(relative), content, mtime)

    def add_sized(self, relative, size, mtime=None):
        """Writes a file of `size` bytes of a non-repeating-per-MiB pattern (no zero pages)."""
        path = self.file(relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        block = os.urandom(MIB)
        with open(path, "wb") as out:
            written = 0
            index = 0
            while written < size:
                # The block index in front makes every MiB differ, so a misplaced block shows.
                chunk = (index.to_bytes(8, "little") + block[8:])[:size - written]
                out.write(chunk)
                written += len(chunk)
                index += 1
        if mtime is not None:
            os.utime(path, (mtime, mtime))
        return path

    def add_many_empty(self, folder, count, pattern="IMG_%06d.JPG"):
        """Creates `count` empty files in DCIM/folder; returns their names."""
        directory = self.file(folder)
        os.makedirs(directory, exist_ok=True)
        names = [pattern % index for index in range(count)]
        for name in names:
            os.close(os.open(os.path.join(directory, name), os.O_WRONLY | os.O_CREAT, 0o644))
        return names
