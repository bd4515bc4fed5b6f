"""Power cuts: what "progress" and "done" report must already be on the disk.

The import into a loop-mounted image is frozen (SIGSTOP) at each line it writes; the image's
backing file is copied while it is frozen, which keeps exactly what the file system had sent to
its device, as a power cut would; the copy is mounted again as at the next boot.
"""

import os
import shutil
import signal
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import picferry_harness as harness  # noqa: E402
from picferry_harness import MIB, T0, BinaryTest, read_bytes, read_event  # noqa: E402
from disk_images import check_as_at_boot, file_system, mounted, scratch  # noqa: E402
from tmpfs_camera import Camera  # noqa: E402

SIZES = {"ext4": 64 * MIB, "ext4-nojournal": 64 * MIB, "xfs": 320 * MIB}
FILES = [("100APPLE/IMG_0001.JPG", 3 * MIB + 17), ("100APPLE/IMG_0002.JPG", 700_000),
         ("100APPLE/CLIP.MOV", 5 * MIB), ("101APPLE/IMG_0003.PNG", 20_000)]


class PowerCutTest(BinaryTest):
    @classmethod
    def setUpClass(cls):
        cls.camera = Camera("CUT-CAM")
        cls.content = {}
        for index, (path, size) in enumerate(FILES):
            cls.content[os.path.basename(path)] = os.urandom(size)
            cls.camera.add(path, cls.content[os.path.basename(path)], T0 + index)

    @classmethod
    def tearDownClass(cls):
        cls.camera.close()

    def assert_cut_holds(self, image, kind, relative_dest, reported, scratch_dir):
        """Mounts a copy of `image` taken now; every reported file must be complete there."""
        cut = os.path.join(scratch_dir, "cut.img")
        shutil.copyfile(image, cut)
        try:
            check_as_at_boot(cut, kind)
            with mounted(cut, kind) as after_reboot:
                dest = os.path.join(after_reboot, relative_dest)
                for name in reported:
                    path = os.path.join(dest, name)
                    self.assertTrue(os.path.exists(path),
                                    "%s lost after %d reported; the folder holds %r" % (
                                        name, len(reported),
                                        os.listdir(dest) if os.path.isdir(dest) else None))
                    self.assertEqual(read_bytes(path), self.content[name], name)
        finally:
            os.remove(cut)

    def test_every_reported_file_survives_a_cut_at_every_line(self):
        for kind in SIZES:
            with self.subTest(file_system=kind), scratch("1g") as room, \
                    file_system(room, kind, SIZES[kind]) as (image, mount_point):
                relative_dest = "new/photos"  # both folders made by the run
                process = self.start("import", "--dest", os.path.join(mount_point, relative_dest))
                reported = []
                while True:
                    event = read_event(process)
                    try:
                        process.process.send_signal(signal.SIGSTOP)
                    except ProcessLookupError:
                        pass  # already gone after "done": the cut is then after the exit
                    if event["type"] == "progress":
                        reported.append(event["name"])
                    self.assertIn(event["type"], ("progress", "done"), event)
                    self.assert_cut_holds(image, kind, relative_dest, reported, room)
                    if event["type"] == "done":
                        break
                    process.process.send_signal(signal.SIGCONT)
                process.process.send_signal(signal.SIGCONT)
                self.assertEqual(process.finish(timeout=30)[0], 0)
                self.assertEqual(event["downloaded"], len(FILES))


if __name__ == "__main__":
    harness.main()
