"""File systems in image files, for the destination tests. Root, in a private mount namespace.

Every helper is a context manager that unmounts, detaches and removes what it made, even when
the test fails. Images live in a tmpfs (`Scratch`), so nothing large reaches the real disk.
"""

import contextlib
import os
import shutil
import subprocess
import tempfile

# mkfs.xfs refuses file systems under 300 MB; ext4 and FAT are fine far smaller.
MKFS = {
    "ext4": ["mkfs.ext4", "-q", "-F", "-O", "has_journal"],
    # As this machine's own disk, ext2 and journal-less ext4 disks are made.
    "ext4-nojournal": ["mkfs.ext4", "-q", "-F", "-O", "^has_journal"],
    "xfs": ["mkfs.xfs", "-q", "-f"],
    "exfat": ["mkfs.exfat"],
    "vfat": ["mkfs.vfat", "-F", "32"],
}


def _run(*command):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


@contextlib.contextmanager
def scratch(size="2g"):
    """A new tmpfs at a temporary folder; yields its path."""
    path = tempfile.mkdtemp(prefix="picferry-scratch.")
    try:
        _run("mount", "-t", "tmpfs", "-o", "size=" + size, "picferry-scratch", path)
        try:
            yield path
        finally:
            unmount(path)
    finally:
        shutil.rmtree(path, ignore_errors=True)


def unmount(path):
    if subprocess.run(["umount", path], stderr=subprocess.DEVNULL).returncode != 0:
        subprocess.run(["umount", "-l", path], check=True)


def check_as_at_boot(image, kind):
    """What the next boot does before mounting: e2fsck -fy on ext4 (replays a journal, and on a
    journal-less disk deletes what the inodes say is unlinked). 4 and above: left uncorrected."""
    if kind.startswith("ext4"):
        status = subprocess.run(["e2fsck", "-fy", image], capture_output=True, text=True)
        if status.returncode >= 4:
            raise AssertionError("e2fsck left errors: %s" % status.stdout)


def make_image(path, kind, size):
    with open(path, "wb") as image:
        image.truncate(size)
    _run(*MKFS[kind], path)


@contextlib.contextmanager
def loop_device(image):
    device = subprocess.run(["losetup", "--find", "--show", image], check=True,
                            capture_output=True, text=True).stdout.strip()
    try:
        yield device
    finally:
        subprocess.run(["losetup", "--detach", device])


@contextlib.contextmanager
def mounted(image, kind):
    """Mounts the image at a new temporary folder the way a desktop would; yields the folder.

    ext4 and XFS through the kernel; exFAT through exfat-fuse, which wants a block device;
    FAT32 through fusefat, read-only unless told `rw+` (its manual page).
    """
    folder = tempfile.mkdtemp(prefix="picferry-mnt.")
    try:
        with loop_device(image) as device:
            if kind == "vfat":
                _run("fusefat", "-o", "rw+", device, folder)
            elif kind == "exfat":
                _run("mount.exfat-fuse", device, folder)
            else:
                # A copy of a mounted XFS image has the same UUID, which XFS refuses by default.
                _run("mount", *(["-o", "nouuid"] if kind == "xfs" else []), device, folder)
            try:
                yield folder
            finally:
                unmount(folder)
    finally:
        os.rmdir(folder)


@contextlib.contextmanager
def file_system(directory, kind, size):
    """A new file system of `kind` in an image under `directory`, mounted; yields (image, mount)."""
    image = os.path.join(directory, kind + ".img")
    make_image(image, kind, size)
    try:
        with mounted(image, kind) as folder:
            yield image, folder
    finally:
        os.remove(image)
