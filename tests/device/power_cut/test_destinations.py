"""Destinations other than a local Linux file system, and ones that cannot be written."""

import contextlib
import json
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import picferry_harness as harness  # noqa: E402
from picferry_harness import MIB, T0, BinaryTest, read_bytes, read_event  # noqa: E402
from disk_images import file_system, scratch, unmount  # noqa: E402
from tmpfs_camera import Camera  # noqa: E402

FILES = {"100APPLE/A.JPG": os.urandom(200_000), "100APPLE/B.JPG": os.urandom(5_000),
         "100APPLE/C.MOV": os.urandom(3 * MIB), "101APPLE/D.PNG": b"",
         "101APPLE/E.JPG": os.urandom(70_000)}


class DestinationWithCameraTest(BinaryTest):
    @classmethod
    def setUpClass(cls):
        cls.camera = Camera("DEST-CAM")
        for index, (path, content) in enumerate(FILES.items()):
            cls.camera.add(path, content, T0 + 10 * index)
        # Readable by an unprivileged run as well.
        os.chmod(os.path.dirname(cls.camera.path), 0o755)

    @classmethod
    def tearDownClass(cls):
        cls.camera.close()

    def assert_unwritable(self, dest, reason, run_as=()):
        status, out, err = self.run_to_end(*run_as, harness.BINARY, "import", "--dest", dest)
        self.assertEqual((status, err), (1, b""), out)
        events = [json.loads(line) for line in out.splitlines()]
        self.assertEqual(len(events), 1, events)
        self.assertEqual(events[0]["code"], "dest_unwritable")
        self.assertIn(dest, events[0]["message"])
        self.assertIn(reason, events[0]["message"])


class FatDestinationTest(DestinationWithCameraTest):
    def test_every_file_is_copied_and_an_existing_one_is_never_replaced(self):
        for kind in ("exfat", "vfat"):
            with self.subTest(file_system=kind), scratch("512m") as room, \
                    file_system(room, kind, 128 * MIB) as (_, mount_point):
                dest = os.path.join(mount_point, "photos")
                os.mkdir(dest)
                with open(os.path.join(dest, "B.JPG"), "wb") as own:
                    own.write(b"the person's own B.JPG")
                status, out, err = self.run_to_end("import", "--dest", dest)
                self.assertEqual((status, err), (0, b""))
                done = json.loads(out.splitlines()[-1])
                self.assertEqual((done["downloaded"], done["unavailable"]), (len(FILES), 0), out)
                self.assertEqual(sorted(os.listdir(dest)),
                                 ["A.JPG", "B (1).JPG", "B.JPG", "C.MOV", "D.PNG", "E.JPG"])
                self.assertEqual(read_bytes(os.path.join(dest, "B.JPG")),
                                 b"the person's own B.JPG")
                for path, content in FILES.items():
                    name = os.path.basename(path).replace("B.JPG", "B (1).JPG")
                    self.assertEqual(read_bytes(os.path.join(dest, name)), content, name)


@contextlib.contextmanager
def two_second_times():
    """A new folder seen through two_second_times.py (times kept to 2 s); yields the mount."""
    with tempfile.TemporaryDirectory() as work:
        folder, mount_point = os.path.join(work, "folder"), os.path.join(work, "mount")
        os.mkdir(folder)
        os.mkdir(mount_point)
        server = subprocess.Popen([sys.executable, os.path.join(
            harness.TESTS, "device", "power_cut", "two_second_times.py"), folder, mount_point])
        try:
            deadline = time.monotonic() + 10
            while not os.path.ismount(mount_point) and time.monotonic() < deadline:
                time.sleep(0.05)
            yield mount_point
        finally:
            if os.path.ismount(mount_point):
                unmount(mount_point)
            server.wait(timeout=10)


class TwoSecondTimesTest(BinaryTest):
    """A destination that keeps times as FAT does: an odd second reads back one less."""

    def imported(self, dest, *flags):
        status, out, err = self.run_to_end("import", "--dest", dest, *flags)
        self.assertEqual((status, err), (0, b""))
        done = json.loads(out.splitlines()[-1])
        self.assertEqual(done["unavailable"], 0)
        return done["downloaded"], done["skipped"]

    def test_skip_existing_knows_every_photo_however_its_second_was_kept(self):
        with Camera("FAT-TIMES-CAM") as camera, two_second_times() as dest:
            for second in range(1, 5):
                camera.add("100APPLE/IMG_%04d.JPG" % second, os.urandom(1000), T0 + second)
            self.assertEqual(self.imported(dest), (4, 0))
            self.assertEqual(os.stat(os.path.join(dest, "IMG_0001.JPG")).st_mtime, T0)
            names = sorted(os.listdir(dest))
            for _ in range(2):
                self.assertEqual(self.imported(dest, "--skip-existing"), (0, 4))
            self.assertEqual(sorted(os.listdir(dest)), names)
            # Another photo of a name and size already there, 2 s apart, is no copy of it.
            other = os.urandom(1000)
            camera.add("100APPLE/IMG_0002.JPG", other, T0 + 4)
            self.assertEqual(self.imported(dest, "--skip-existing"), (1, 3))
            self.assertEqual(read_bytes(os.path.join(dest, "IMG_0002 (1).JPG")), other)


class UnwritableDestinationTest(DestinationWithCameraTest):
    def test_read_only_mount_is_dest_unwritable(self):
        with tempfile.TemporaryDirectory() as parent:
            dest = os.path.join(parent, "photos")
            os.mkdir(dest)
            subprocess.run(["mount", "--bind", dest, dest], check=True)
            try:
                subprocess.run(["mount", "-o", "remount,bind,ro", dest], check=True)
                self.assert_unwritable(dest, "Read-only file system")
            finally:
                unmount(dest)

    def test_folder_without_write_permission_is_dest_unwritable(self):
        # Root passes every permission check, so this run is an unprivileged user's.
        with tempfile.TemporaryDirectory() as parent:
            os.chmod(parent, 0o755)
            dest = os.path.join(parent, "photos")
            os.mkdir(dest, 0o755)
            self.assert_unwritable(dest, "Permission denied", run_as=(
                "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"))

    def test_destination_holding_nul_is_refused(self):
        with tempfile.TemporaryDirectory() as parent:
            process = self.start("session")
            self.assertEqual(read_event(process)["type"], "detected")
            dest = os.path.join(parent, "cut") + "\u0000rest"
            process.send(json.dumps({"cmd": "import", "dest": dest}).encode() + b"\n")
            status, out, err = process.finish(timeout=30, keep_input_open=True)
            self.assertEqual((status, err), (1, b""))
            error = json.loads(out.splitlines()[-1])
            self.assertEqual(error["code"], "dest_unwritable")
            self.assertEqual(os.listdir(parent), [])


if __name__ == "__main__":
    harness.main()
