"""Byte progress end to end: the built binary against the fake phone, its reads paced.

Usage: test_afc_byte_progress.py BINARY [unittest options]. No root. The destination is on
/dev/shm where there is one, so that flushing to a busy disk does not stretch a small file
past a progress interval.
"""

import json
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import picferry_harness as harness  # noqa: E402
from picferry_harness import events_of, read_event  # noqa: E402
from test_afc_end_to_end import PhoneTest  # noqa: E402

MB = 1000 * 1000


class PacedPhone(PhoneTest):
    """Small photos around one video, served at 20 MB/s."""

    FILES = {"100APPLE/IMG_0001.JPG": 40_000, "100APPLE/IMG_0002.JPG": 90_000,
             "100APPLE/IMG_0003.MOV": 100 * MB, "100APPLE/IMG_0004.JPG": 60_000}
    ORDER = ["IMG_0001.JPG", "IMG_0002.JPG", "IMG_0003.MOV", "IMG_0004.JPG"]
    SWITCHES = {"bytes_per_second": 20 * MB}

    def setUp(self):
        super().setUp()
        shm = "/dev/shm" if os.path.isdir("/dev/shm") else None
        self.dest_folder = tempfile.TemporaryDirectory(dir=shm)
        self.dest = os.path.join(self.dest_folder.name, "dest")

    def tearDown(self):
        self.dest_folder.cleanup()
        super().tearDown()

    def run_import(self, *options):
        return self.finished(self.start("import", "--dest", self.dest, *options))

    def run_session(self, command):
        """A session given `command` once the catalogue is reported, its input kept open.

        Returns what it wrote after the "detected" line."""
        process = self.start("session")
        self.assertEqual(read_event(process)["type"], "detected")
        detected = len(process.stdout)
        process.send(json.dumps(command).encode() + b"\n")
        return self.finished(process, keep_input_open=True)[detected:]

    def finished(self, process, keep_input_open=False):
        status, out, err = process.finish(timeout=60, keep_input_open=keep_input_open)
        self.assertEqual((status, err), (0, b""))
        return out


class ByteProgressTest(PacedPhone):
    def assert_imported_with_transfers(self, out):
        events = events_of(out)
        self.assert_imported([event for event in events if event["type"] != "transfer"])
        sizes = {name: os.path.getsize(self.phone_file(name)) for name in self.ORDER}
        total = sum(sizes.values())
        transfers = {name: [] for name in self.ORDER}
        handled, handled_files, last_done = 0, 0, 0
        for event in events:
            if event["type"] == "progress":
                handled += sizes[event["name"]]
                handled_files += 1
                continue
            if event["type"] != "transfer":
                continue
            name = event["name"]
            # A file's transfer lines come before its progress line.
            self.assertEqual(name, self.ORDER[handled_files])
            self.assertEqual((event["size"], event["totalBytes"]), (sizes[name], total))
            self.assertEqual(event["doneBytes"], handled + event["bytes"])
            self.assertGreaterEqual(event["doneBytes"], last_done)
            last_done = event["doneBytes"]
            transfers[name].append(event["bytes"])
        for name in ("IMG_0001.JPG", "IMG_0002.JPG", "IMG_0004.JPG"):
            self.assertEqual(transfers[name], [], name)
        video = transfers["IMG_0003.MOV"]
        self.assertGreaterEqual(len(video), 15)  # 5 s at one line per 250 ms
        self.assertEqual(video, sorted(video))
        self.assertLess(video[0], video[-1])
        # One interval at 20 MB/s is 5 MB: the last line comes within about that of the end.
        self.assertGreaterEqual(video[-1], sizes["IMG_0003.MOV"] * 0.9)
        self.assertLessEqual(video[-1], sizes["IMG_0003.MOV"])

    def test_import_with_byte_progress(self):
        self.assert_imported_with_transfers(self.run_import("--byte-progress"))

    def test_session_import_asking_for_byte_progress(self):
        self.assert_imported_with_transfers(
            self.run_session({"cmd": "import", "dest": self.dest, "byteProgress": True}))


class UnaskedTest(PacedPhone):
    """A video of one second, long enough for transfer lines had they been asked for."""

    FILES = dict(PacedPhone.FILES, **{"100APPLE/IMG_0003.MOV": 20 * MB})

    def expected_output(self):
        lines = [{"type": "progress", "done": done, "total": 4, "name": name}
                 for done, name in enumerate(self.ORDER, 1)]
        lines.append({"type": "done", "downloaded": 4, "skipped": 0, "unavailable": 0,
                      "dest": self.dest})
        return b"".join(json.dumps(line, separators=(",", ":"), ensure_ascii=False)
                        .replace("/", "\\/").encode() + b"\n" for line in lines)

    def assert_as_before(self, out):
        self.assertNotIn(b'"transfer"', out)
        self.assertEqual(out, self.expected_output())
        self.assert_imported(events_of(out))

    def test_import_without_the_option(self):
        self.assert_as_before(self.run_import())

    def test_session_import_without_the_key(self):
        self.assert_as_before(self.run_session({"cmd": "import", "dest": self.dest}))


if __name__ == "__main__":
    harness.main(namespace=False)
