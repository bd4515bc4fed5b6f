"""A source that stops growing: the download is given up without spinning a core meanwhile."""

import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import picferry_harness as harness  # noqa: E402
from picferry_harness import MIB, BinaryTest, wait_for_bytes_written  # noqa: E402
from tmpfs_camera import Camera, Tmpfs  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """User plus system time the process has used so far."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


class StalledSourceTest(BinaryTest):
    def test_the_stall_watchdog_waits_without_spinning(self):
        with Camera("STALL-CAM", "1g") as camera, Tmpfs("dest", "1g") as dest:
            camera.add_sized("100APPLE/A.MOV", 512 * MIB)
            camera.add("100APPLE/B.JPG", b"after the stall")
            process = self.start("import", "--dest", dest.path)
            wait_for_bytes_written(process, dest.path, 16 * MIB)
            os.truncate(camera.file("100APPLE/A.MOV"), 8 * MIB)  # libgphoto2 now waits
            time.sleep(2)
            before, started = cpu_seconds(process.process.pid), time.monotonic()
            time.sleep(20)
            used = cpu_seconds(process.process.pid) - before
            waited = time.monotonic() - started
            self.assertLess(used, 0.2 * waited, "%.1f s of CPU in %.1f s" % (used, waited))
            status, _, err = process.finish(timeout=60)
            self.assertEqual((status, err), (0, b""))
            self.assertEqual(os.listdir(dest.path), ["B.JPG"])


if __name__ == "__main__":
    harness.main()
