"""A source that stops growing: the download is given up without spinning a core meanwhile."""

import os
import subprocess
import time

import destination_test
from destination_test import MIB, Camera, DestinationTest, bytes_written_into
from tmpfs_camera import Tmpfs

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """User plus system time the process has used so far."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


class StalledSourceTest(DestinationTest):
    def test_the_stall_watchdog_waits_without_spinning(self):
        with Camera("STALL-CAM", "1g") as camera, Tmpfs("dest", "1g") as dest:
            camera.add_sized("100APPLE/A.MOV", 512 * MIB)
            camera.add("100APPLE/B.JPG", b"after the stall")
            process = self.start("import", "--dest", dest.path, stdin=subprocess.DEVNULL)
            while bytes_written_into(process.process.pid, dest.path) < 16 * MIB:
                time.sleep(0.002)
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
    destination_test.main()
