"""Runs ended in the middle of a big file leave nothing but complete files behind."""

import json
import os
import signal
import subprocess
import time

import destination_test
from destination_test import (MIB, Camera, DestinationTest, bytes_written_into, read_bytes,
                              read_event)
from disk_images import file_system, scratch
from tmpfs_camera import Tmpfs

SMALL = os.urandom(100_000)


def wait_until_written(process, folder, at_least, timeout=60):
    deadline = time.monotonic() + timeout
    while bytes_written_into(process.process.pid, folder) < at_least:
        if time.monotonic() > deadline or process.process.poll() is not None:
            raise AssertionError("%d bytes never reached %s" % (at_least, folder))
        time.sleep(0.005)


class InterruptedTest(DestinationTest):
    """SIGKILL, SIGTERM and a cancel in the middle of a 1.5 GiB file, into a tmpfs."""

    @classmethod
    def setUpClass(cls):
        cls.camera = Camera("BIG-CAM", "2g")
        cls.camera.add("100APPLE/A.JPG", SMALL, 1_600_000_000)
        cls.camera.add_sized("100APPLE/BIG.MOV", 1536 * MIB)

    @classmethod
    def tearDownClass(cls):
        cls.camera.close()

    def test_only_complete_files_remain_whatever_ends_the_run(self):
        def session_cancel(dest):
            process = self.start("session")
            self.assertEqual(read_event(process)["type"], "detected")
            process.send(json.dumps({"cmd": "import", "dest": dest}).encode() + b"\n")
            return process, lambda: process.send(b'{"cmd":"cancel"}\n'), 0

        def by_signal(signo, status):
            def run(dest):
                process = self.start("import", "--dest", dest, stdin=subprocess.DEVNULL)
                return process, lambda: process.signal(signo), status
            return run

        with Tmpfs("dest", "1700m") as room:
            for how, begin in (("SIGKILL", by_signal(signal.SIGKILL, -signal.SIGKILL)),
                               ("SIGTERM", by_signal(signal.SIGTERM, 0)),
                               ("cancel", session_cancel)):
                with self.subTest(stop=how):
                    dest = os.path.join(room.path, how)
                    process, stop, status = begin(dest)
                    wait_until_written(process, dest, 32 * MIB)
                    stop()
                    self.assertEqual(process.process.wait(timeout=30), status)
                    self.assertEqual(os.listdir(dest), ["A.JPG"])
                    self.assertEqual(read_bytes(os.path.join(dest, "A.JPG")), SMALL)


class LeftoverTest(DestinationTest):
    def test_a_killed_runs_temporary_file_on_fat_is_gone_after_the_next_import(self):
        with scratch("1g") as room, file_system(room, "vfat", 512 * MIB) as (_, mount_point):
            dest = os.path.join(mount_point, "photos")
            with Camera("BIG-CAM", "512m") as camera:
                camera.add("100APPLE/A.JPG", SMALL, 1_600_000_000)
                camera.add_sized("100APPLE/BIG.MOV", 256 * MIB)
                process = self.start("import", "--dest", dest, stdin=subprocess.DEVNULL)
                wait_until_written(process, dest, 4 * MIB)
                process.signal(signal.SIGKILL)
                process.process.wait(timeout=30)
            left = sorted(os.listdir(dest))
            self.assertEqual(len(left), 2, left)  # A.JPG and the killed run's temporary file
            with Camera("NEXT-CAM") as camera:
                camera.add("100APPLE/C.JPG", b"next", 1_600_000_100)
                status, _, err = self.run_to_end("import", "--dest", dest)
            self.assertEqual((status, err), (0, b""))
            self.assertEqual(sorted(os.listdir(dest)), ["A.JPG", "C.JPG"])


if __name__ == "__main__":
    destination_test.main()
