"""Why a file failed (--reasons, "reasons"), end to end through the real libraries.

One table over the routes: a card (mounted storage) into a tmpfs too small for its third
file; the fake phone (usbmuxd, lockdownd, AFC) into FAT32 through fusefat, with a 4.1 GiB
video; the fake phone unplugged in the middle of a file, or sending a file short; a session's
"only" path that the card does not hold. Each case runs with the option and without: without it the output is the
same bytes, less the "failed" and "space" lines.

Usage (root): test_reasons.py BINARY [unittest options]. Run by hand it re-runs itself inside
a private mount namespace; ctest starts it in one. No other device may be attached.
"""

import contextlib
import json
import os
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import picferry_harness as harness  # noqa: E402
from picferry_harness import MIB, T0, FakePhone, Run  # noqa: E402
from disk_images import file_system, scratch  # noqa: E402
from tmpfs_camera import Camera, Tmpfs  # noqa: E402

BIG_VIDEO = 4_402_341_478  # 4.1 GiB: one byte of it is more than FAT32 holds in a file


class Outcome:
    """What one run wrote: each line with the time it arrived, and how it ended."""

    def __init__(self, lines, status, stderr):
        self.lines = lines  # [(monotonic time, bytes)]
        self.status = status
        self.stderr = stderr
        self.events = [json.loads(line) for _, line in lines]

    def output(self, leave_out=()):
        return b"".join(line for (_, line), event in zip(self.lines, self.events)
                        if event["type"] not in leave_out)

    def time_of(self, kind, name):
        return next(at for (at, _), event in zip(self.lines, self.events)
                    if event["type"] == kind and event.get("name") == name)


def run(args, env=None, command=None, timeout=120):
    """Runs the binary to its end; a session gets `command`, its input held open until done."""
    process = Run(harness.BINARY, *args, env=env,
                  stdin=subprocess.PIPE if command else subprocess.DEVNULL)
    try:
        if command:
            process.send(json.dumps(command).encode() + b"\n")
        lines = []
        deadline = time.monotonic() + timeout
        while True:
            line = process.read_line(timeout=max(1, deadline - time.monotonic()))
            if not line:
                break
            lines.append((time.monotonic(), line))
            if json.loads(line)["type"] == "done":
                break
        status, _, err = process.finish(timeout=30)  # checks every line against the schema
        return Outcome(lines, status, err)
    finally:
        if process.process.poll() is None:
            process.process.kill()
            process.process.wait()


def write(path, content=None, size=None, mtime=T0):
    """A file of `content`, or a sparse one of `size` bytes."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        if content is not None:
            out.write(content)
        else:
            out.truncate(size)
    os.utime(path, (mtime, mtime))


# The routes. Each prepares its device and destination in `stack` (everything it mounts or
# starts is undone there) and runs the import; `expected` is each file's name in progress
# order with the code of its "failed" line, or None when it is copied.

class CardIntoSmallTmpfs:
    """A card into an 8 MiB tmpfs: its 12 MiB third file cannot fit, its fourth can."""

    expected = [("A.JPG", None), ("B.JPG", None), ("C.MOV", "destination_full"), ("D.JPG", None)]
    sizes = {"A.JPG": MIB, "B.JPG": MIB, "C.MOV": 12 * MIB, "D.JPG": MIB}

    def __init__(self, stack, work):
        camera = stack.enter_context(Camera("REASONS-CARD", "64m"))
        for index, (name, size) in enumerate(self.sizes.items()):
            camera.add("100CANON/" + name, os.urandom(size), T0 + index)
        self.dest = stack.enter_context(Tmpfs("dest", "8m")).path
        space = os.statvfs(self.dest)
        self.free = space.f_bavail * space.f_frsize

    @staticmethod
    def device_path(name):
        return "/DCIM/100CANON/" + name

    def run(self, reasons):
        for name in os.listdir(self.dest):
            os.remove(os.path.join(self.dest, name))
        return run(["import", "--dest", self.dest] + (["--reasons"] if reasons else []))

    def check(self, test, outcome):
        space = outcome.events[0]
        test.assertEqual(space["type"], "space")
        # Every file is asked for: C fails only where its copy would begin.
        test.assertAlmostEqual(space["neededBytes"], sum(self.sizes.values()),
                               delta=sum(self.sizes.values()) / 100)
        test.assertAlmostEqual(space["freeBytes"], self.free, delta=self.free / 100)
        test.assertEqual(sorted(os.listdir(self.dest)), ["A.JPG", "B.JPG", "D.JPG"])


class PhoneWithUsbmuxd:
    """The fake phone serving FILES from a folder of `work`."""

    files = {}
    switches = {}

    def __init__(self, stack, work):
        self.work = work
        self.socket = os.path.join(work, "usbmuxd")
        self.root = os.path.join(work, "phone")
        for index, (name, size) in enumerate(self.files.items()):
            path = os.path.join(self.root, "DCIM", "100APPLE", name)
            if size > 64 * MIB:
                write(path, size=size, mtime=T0 + index)
            else:
                write(path, os.urandom(size), mtime=T0 + index)
        self.phone = None
        stack.callback(lambda: self.phone and self.phone.stop())

    @staticmethod
    def device_path(name):
        return "/DCIM/100APPLE/" + name

    def run(self, reasons):
        if self.phone:
            self.phone.stop()
            os.remove(self.socket)
        self.phone = FakePhone(self.socket, self.root, **self.switches).start()
        os.makedirs(self.dest, exist_ok=True)
        for name in os.listdir(self.dest):
            os.remove(os.path.join(self.dest, name))
        env = dict(os.environ, USBMUXD_SOCKET_ADDRESS="UNIX:" + self.socket)
        return run(["import", "--dest", self.dest] + (["--reasons"] if reasons else []), env=env)


class PhoneIntoFat32(PhoneWithUsbmuxd):
    """A 4.1 GiB video onto FAT32 through fusefat: failed at its turn, never read."""

    files = {"IMG_0001.JPG": 200_000, "IMG_0002.MOV": BIG_VIDEO, "IMG_0003.JPG": 100_000}
    expected = [("IMG_0001.JPG", None), ("IMG_0002.MOV", "too_big_for_destination"),
                ("IMG_0003.JPG", None)]

    def __init__(self, stack, work):
        super().__init__(stack, work)
        room = stack.enter_context(scratch("256m"))
        _, mount_point = stack.enter_context(file_system(room, "vfat", 64 * MIB))
        self.dest = os.path.join(mount_point, "photos")

    def check(self, test, outcome):
        # fusefat tells no sizes: no freeBytes. The video is not asked for.
        test.assertEqual(outcome.events[0], {"type": "space", "neededBytes": 300_000})
        turn = outcome.time_of("progress", "IMG_0001.JPG")
        test.assertLess(outcome.time_of("failed", "IMG_0002.MOV") - turn, 2)
        test.assertEqual(self.phone.count("FILE_OPEN"), 2)
        test.assertEqual(self.phone.bytes_served, 300_000)
        test.assertEqual(sorted(os.listdir(self.dest)), ["IMG_0001.JPG", "IMG_0003.JPG"])


class PhoneUnplugged(PhoneWithUsbmuxd):
    """The phone unplugged 1 MiB into its second file: that one and the rest are gone."""

    files = {"IMG_0001.JPG": 300_000, "IMG_0002.MOV": 3 * MIB, "IMG_0003.JPG": 100_000}
    switches = {"detach_after_bytes": 300_000 + MIB}
    expected = [("IMG_0001.JPG", None), ("IMG_0002.MOV", "device_disconnected"),
                ("IMG_0003.JPG", "device_disconnected")]

    def __init__(self, stack, work):
        super().__init__(stack, work)
        self.dest = os.path.join(work, "dest")

    def check(self, test, outcome):
        test.assertEqual(outcome.events[0]["neededBytes"], sum(self.files.values()))
        test.assertEqual(os.listdir(self.dest), ["IMG_0001.JPG"])


class PhoneWithAShortFile(PhoneWithUsbmuxd):
    """The phone's reading of its second file ends halfway, as when the file shrinks."""

    files = {"IMG_0001.JPG": 300_000, "IMG_0002.MOV": 2 * MIB, "IMG_0003.JPG": 100_000}
    switches = {"short_files": ["/DCIM/100APPLE/IMG_0002.MOV"]}
    expected = [("IMG_0001.JPG", None), ("IMG_0002.MOV", "incomplete"), ("IMG_0003.JPG", None)]

    def __init__(self, stack, work):
        super().__init__(stack, work)
        self.dest = os.path.join(work, "dest")

    def check(self, test, outcome):
        test.assertEqual(sorted(os.listdir(self.dest)), ["IMG_0001.JPG", "IMG_0003.JPG"])


class SessionOnlyAbsentPath:
    """A session's "only" holds a path the card does not: not_on_device, after the rest."""

    expected = [("A.JPG", None), ("GONE.JPG", "not_on_device")]

    def __init__(self, stack, work):
        camera = stack.enter_context(Camera("REASONS-CARD", "16m"))
        camera.add("100CANON/A.JPG", os.urandom(50_000), T0)
        camera.add("100CANON/B.JPG", os.urandom(60_000), T0 + 1)
        self.dest = os.path.join(work, "dest")

    @staticmethod
    def device_path(name):
        return "/DCIM/100CANON/" + name

    def run(self, reasons):
        if os.path.isdir(self.dest):
            for name in os.listdir(self.dest):
                os.remove(os.path.join(self.dest, name))
        command = {"cmd": "import", "dest": self.dest,
                   "only": [self.device_path("A.JPG"), self.device_path("GONE.JPG")]}
        if reasons:
            command["reasons"] = True
        return run(["session"], command=command)

    def check(self, test, outcome):
        test.assertEqual([event["type"] for event in outcome.events[:2]], ["detected", "space"])
        test.assertEqual(outcome.events[1]["neededBytes"], 50_000)
        test.assertIn("freeBytes", outcome.events[1])


ROUTES = [CardIntoSmallTmpfs, PhoneIntoFat32, PhoneUnplugged, PhoneWithAShortFile,
          SessionOnlyAbsentPath]


class ReasonsTest(unittest.TestCase):
    def test_each_route_tells_why_just_before_the_files_progress(self):
        for route in ROUTES:
            with self.subTest(route=route.__name__), contextlib.ExitStack() as stack:
                work = stack.enter_context(tempfile.TemporaryDirectory(prefix="picferry-why."))
                case = route(stack, work)
                told = case.run(reasons=True)
                self.assertEqual((told.status, told.stderr), (0, b""))
                self.assert_told(case, told)
                case.check(self, told)
                untold = case.run(reasons=False)
                self.assertEqual((untold.status, untold.stderr), (0, b""))
                self.assertEqual(untold.output(), told.output(leave_out=("failed", "space")))

    def assert_told(self, case, outcome):
        """One "space" before the first progress; each failure's "failed" right before its
        progress, with its code and a message naming it; the summary's counts."""
        events = outcome.events
        kinds = [event["type"] for event in events]
        self.assertEqual(kinds.count("space"), 1)
        self.assertLess(kinds.index("space"), kinds.index("progress"))
        progress = [index for index, kind in enumerate(kinds) if kind == "progress"]
        self.assertEqual([events[index]["name"] for index in progress],
                         [name for name, _ in case.expected])
        for index, (name, code) in zip(progress, case.expected):
            before = events[index - 1]
            if code is None:
                self.assertNotEqual(before["type"], "failed", name)
                continue
            self.assertEqual(before["type"], "failed", name)
            self.assertEqual((before["path"], before["name"], before["code"]),
                             (case.device_path(name), name, code))
            self.assertIn(name, before["message"])
        failed = sum(1 for _, code in case.expected if code)
        self.assertEqual(kinds.count("failed"), failed)
        self.assertEqual((events[-1]["downloaded"], events[-1]["unavailable"]),
                         (len(case.expected) - failed, failed))


if __name__ == "__main__":
    harness.main()
