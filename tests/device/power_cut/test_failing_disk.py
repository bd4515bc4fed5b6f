"""A dying XFS disk: a file counted as downloaded must survive the failure.

XFS shut down without a log flush (what a failing drive or a yanked USB disk does) answers a
folder's fsync with success while the file's own fsync and syncfs fail: a file counted on the
folder's word alone is gone after a remount. The preloaded shim (shutdown_after_link.cpp) shuts
the disk down right after the n-th name is made, between naming a file and counting it.
"""

import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import picferry_harness as harness  # noqa: E402
from picferry_harness import MIB, T0, BinaryTest, events_of, read_bytes  # noqa: E402
from disk_images import file_system, mounted, scratch  # noqa: E402
from tmpfs_camera import Camera  # noqa: E402

FILES = {"100APPLE/IMG_%04d.JPG" % n: os.urandom(40_000 + n) for n in range(1, 7)}


class FailingDiskTest(BinaryTest):
    @classmethod
    def setUpClass(cls):
        cls.camera = Camera("DYING-DISK-CAM")
        for index, (path, content) in enumerate(FILES.items()):
            cls.camera.add(path, content, T0 + index)

    @classmethod
    def tearDownClass(cls):
        cls.camera.close()

    def test_every_counted_file_is_there_after_a_shutdown_right_after_naming(self):
        for at_link in (1, 3, 6):
            with self.subTest(shutdown_after_link=at_link), scratch("1g") as room, \
                    file_system(room, "xfs", 320 * MIB) as (image, mount_point):
                environment = dict(os.environ, LD_PRELOAD=os.environ["PICFERRY_SHUTDOWN_SHIM"],
                                   PICFERRY_SHUTDOWN_AT_LINK=str(at_link),
                                   ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") +
                                   ":verify_asan_link_order=0")
                dest = os.path.join(mount_point, "photos")
                status, out, err = self.run_to_end("import", "--dest", dest, env=environment)
                self.assertEqual((status, err), (0, b""), out)
                events = events_of(out)
                self.assertEqual(events[-1]["type"], "done", events)
                # Files named together are flushed together: those named before the
                # shutdown may count, from the shutdown on files fail, so the counted ones
                # are the first.
                downloaded = events[-1]["downloaded"]
                self.assertLess(downloaded, at_link, events)
                self.assertEqual(events[-1]["unavailable"], len(FILES) - downloaded, events)
                counted = [e["name"] for e in events if e["type"] == "progress"][:downloaded]
                # The shut-down disk writes nothing more: a copy of it is what a remount finds.
                after = os.path.join(room, "after.img")
                shutil.copyfile(image, after)
                with mounted(after, "xfs") as remounted:
                    for name in counted:
                        path = os.path.join(remounted, "photos", name)
                        self.assertTrue(os.path.exists(path), "%s counted, then lost" % name)
                        self.assertEqual(read_bytes(path), FILES["100APPLE/" + name], name)
    def test_a_dead_disk_is_told_as_an_input_output_error(self):
        with scratch("1g") as room, file_system(room, "xfs", 320 * MIB) as (_, mount_point):
            dest = os.path.join(mount_point, "photos")
            os.mkdir(dest)
            subprocess.run(["xfs_io", "-x", "-c", "shutdown", mount_point], check=True)
            status, out, err = self.run_to_end("import", "--dest", dest)
            (event,) = events_of(out)
            self.assertEqual((status, err, event["type"]), (1, b"", "error"), event)
            self.assertTrue(event["message"].endswith(": Input/output error"), event)


if __name__ == "__main__":
    harness.main()
