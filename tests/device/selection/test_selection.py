"""Choosing what to import, end to end through the real libraries on every route.

The catalogue item by item (--items), a chosen set (--only), only what is new (--new-only)
and the import record behind it, against the fake phone (usbmuxd, lockdownd and AFC), an
emulated PTP camera behind the stand-in libusb (Debian's libgphoto2 and ptp2 driver) and a
tmpfs card (mounted storage).

Usage (root): test_selection.py BINARY LIBDIR [unittest options], LIBDIR holding the stand-in
libusb-1.0.so.0. Run by hand it re-runs itself inside a private mount namespace; ctest
starts it in one. No other device may be attached.
"""

import contextlib
import hashlib
import json
import os
import signal
import sqlite3
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import picferry_harness as harness  # noqa: E402
from picferry_harness import (MIB, T0, BinaryTest, import_events, read_bytes,  # noqa: E402
                              through_usbmuxd, wait_for_bytes_written, write)
from tmpfs_camera import Camera, Tmpfs  # noqa: E402


# The routes. Each serves files put under its DCIM folder and says what path an item of
# such a file carries on that route.

class CardRoute:
    """A tmpfs card (mounted storage): paths below its mount point."""

    def __init__(self, test):
        self.camera = Camera("CHOICE-CARD", "256m")
        test.addCleanup(self.camera.close)

    def put(self, relative, content, mtime):
        self.camera.add(relative, content, mtime)

    @staticmethod
    def device_path(relative):
        return "/DCIM/" + relative

    @staticmethod
    def env(base):
        return base


class PhoneRoute:
    """The fake phone through usbmuxd: the files' paths on the phone."""

    def __init__(self, test):
        self.root = os.path.join(test.work, "phone")
        os.makedirs(os.path.join(self.root, "DCIM"))
        self.socket = test.usbmuxd
        self.phone = test.fake_phone(self.root)

    def put(self, relative, content, mtime):
        write(os.path.join(self.root, "DCIM", relative), content, mtime)

    @staticmethod
    def device_path(relative):
        return "/DCIM/" + relative

    def env(self, base):
        return through_usbmuxd(self.socket, base)


class UsbRoute:
    """An emulated PTP camera: its storage folder and the name, as libgphoto2 gives them.

    The emulator serves the host folder as it is when a process first opens the device.
    """

    def __init__(self, test):
        self.bus = test.usb_bus()
        self.root = os.path.join(test.work, "usb-camera")
        os.makedirs(os.path.join(self.root, "DCIM"))
        self.bus.plug("camera", self.root)

    def put(self, relative, content, mtime):
        write(os.path.join(self.root, "DCIM", relative), content, mtime)

    @staticmethod
    def device_path(relative):
        return "/store_00010001/DCIM/" + relative

    def env(self, base):
        return self.bus.env(base)


class ChoiceTest(BinaryTest):
    """A route, a work folder and a state folder of its own for each test."""

    ROUTE = CardRoute

    def setUp(self):
        super().setUp()
        self.state = os.path.join(self.work, "state")
        self.record = os.path.join(self.state, "picferry", "imported.sqlite")
        self.route = self.ROUTE(self)
        self.files = {}  # path under DCIM -> (content, mtime)

    def put(self, relative, content, mtime):
        self.route.put(relative, content, mtime)
        self.files[relative] = (content, mtime)

    def environment(self):
        return self.route.env(dict(os.environ, XDG_STATE_HOME=self.state))

    def run_binary(self, *args, timeout=90):
        """Runs to the end; (status, events). Standard error must stay empty."""
        return super().run_binary(*args, timeout=timeout)[:2]

    def catalogue(self):
        """The files put so far, in catalogue order (folder by folder, names in byte order)."""
        return sorted(self.files, key=lambda relative: relative.encode())

    def item(self, relative, imported):
        content, mtime = self.files[relative]
        return {"type": "item", "path": self.route.device_path(relative),
                "name": os.path.basename(relative), "size": len(content), "mtime": mtime,
                "imported": imported}

    def assert_holds_exactly(self, dest, relatives):
        """`dest` holds these files under their names, byte for byte with their dates."""
        self.assertEqual(sorted(os.listdir(dest)),
                         sorted(os.path.basename(relative) for relative in relatives))
        for relative in relatives:
            content, mtime = self.files[relative]
            path = os.path.join(dest, os.path.basename(relative))
            with self.subTest(file=relative):
                self.assertEqual(read_bytes(path), content)
                self.assertEqual(os.stat(path).st_mtime, mtime)


class WorkflowTest:
    """What a driving program does: show the catalogue, copy a chosen set, and later copy
    only what is new although every photo imported was moved out of the destination."""

    OLD = {"100TEST/IMG_0001.JPG": (os.urandom(3000), T0 + 1),
           "100TEST/IMG_0002.MOV": (os.urandom(2 * MIB + 77), T0 + 2),
           "101TEST/it's 100%; \"best\".JPG": (os.urandom(500), T0 + 3),
           "101TEST/IMG_0003.PNG": (b"", T0 + 4)}
    NEW = {"101TEST/IMG_0004.JPG": (os.urandom(4000), T0 + 5),
           "102TEST/IMG_0005.JPG": (os.urandom(6000), T0 + 6)}

    def test_items_then_a_chosen_set_then_only_what_is_new(self):
        for relative, (content, mtime) in self.OLD.items():
            self.put(relative, content, mtime)
        old = self.catalogue()

        status, events = self.run_binary("detect", "--items")
        self.assertEqual(status, 0)
        self.assertEqual(events[0]["itemCount"], len(old))
        self.assertEqual(events[1:], [self.item(relative, False) for relative in old])
        first_paths = [event["path"] for event in events[1:]]

        chosen = os.path.join(self.work, "chosen")
        listing = os.path.join(self.work, "list")
        with open(listing, "w", encoding="utf-8") as out:
            out.write("%s\n%s\n%s\n" % (self.route.device_path("101TEST/IMG_0003.PNG"),
                                        self.route.device_path("100TEST/GONE.JPG"),
                                        self.route.device_path("100TEST/IMG_0001.JPG")))
        status, events = self.run_binary("import", "--dest", chosen, "--only", listing)
        self.assertEqual(status, 0)
        self.assertEqual(events, import_events(["IMG_0001.JPG", "IMG_0003.PNG", "GONE.JPG"],
                                               chosen, 2, 0, 1))
        self.assert_holds_exactly(chosen, ["100TEST/IMG_0001.JPG", "101TEST/IMG_0003.PNG"])

        photos = os.path.join(self.work, "photos")
        status, events = self.run_binary("import", "--dest", photos)
        self.assertEqual((status, events[-1]["downloaded"]), (0, len(old)))
        # The person sorts them into albums, and takes two new photos.
        albums = os.path.join(self.work, "albums")
        os.rename(photos, albums)
        os.mkdir(photos)
        for relative, (content, mtime) in self.NEW.items():
            self.put(relative, content, mtime)

        status, events = self.run_binary("detect", "--items")
        self.assertEqual(status, 0)
        self.assertEqual(events[1:], [self.item(relative, relative in old)
                                      for relative in self.catalogue()])
        self.assertEqual([event["path"] for event in events[1:] if event["imported"]],
                         first_paths)

        status, events = self.run_binary("import", "--dest", photos, "--new-only")
        self.assertEqual(status, 0)
        self.assertEqual(events, import_events([os.path.basename(r) for r in self.catalogue()],
                                               photos, 2, len(old), 0))
        self.assert_holds_exactly(photos, list(self.NEW))


class CardWorkflowTest(WorkflowTest, ChoiceTest):
    ROUTE = CardRoute


class PhoneWorkflowTest(WorkflowTest, ChoiceTest):
    ROUTE = PhoneRoute


class UsbWorkflowTest(WorkflowTest, ChoiceTest):
    ROUTE = UsbRoute


class ChosenSetTest(ChoiceTest):
    """A chosen set is all that is read from the phone: it counts the files it serves."""

    ROUTE = PhoneRoute

    def test_no_file_outside_the_chosen_set_is_read(self):
        for index in range(12):
            self.put("100TEST/IMG_%04d.JPG" % index, os.urandom(100_000 + index), T0 + index)
        chosen = self.catalogue()[::4]
        listing = write(os.path.join(self.work, "list"), "".join(
            self.route.device_path(relative) + "\n" for relative in chosen).encode())
        dest = os.path.join(self.work, "chosen")
        status, events = self.run_binary("import", "--dest", dest, "--only", listing)
        self.assertEqual((status, events), (0, import_events(
            [os.path.basename(relative) for relative in chosen], dest, 3, 0, 0)))
        self.assert_holds_exactly(dest, chosen)
        self.assertEqual(set(self.route.phone.served),
                         {self.route.device_path(relative) for relative in chosen})


class RecordFaultTest(ChoiceTest):
    """The record never costs a photo (on the card route)."""

    def setUp(self):
        super().setUp()
        self.put("100TEST/A.JPG", os.urandom(1000), T0)
        self.put("100TEST/B.JPG", os.urandom(2000), T0 + 1)
        self.dest = os.path.join(self.work, "photos")

    def assert_unusable_and_left_alone(self, damage):
        before = read_bytes(self.record)
        status, events = self.run_binary("import", "--dest", self.dest, "--new-only")
        self.assertEqual(status, 1, damage)
        self.assertEqual(len(events), 1, events)
        self.assertEqual((events[0]["type"], events[0]["code"]), ("error", "record_unusable"))
        self.assertTrue(events[0]["message"].startswith("The import record %s " % self.record),
                        events[0]["message"])
        self.assertEqual(os.listdir(self.dest), [], damage)  # nothing copied
        status, events = self.run_binary("detect", "--items")
        self.assertEqual(status, 0)
        self.assertEqual(events[1:], [{key: value for key, value in self.item(r, False).items()
                                       if key != "imported"} for r in self.catalogue()])
        self.assertTrue(read_bytes(self.record) == before, damage + ": the record changed")

    def test_damaged_record_ends_new_only_before_any_copy_and_is_never_changed(self):
        os.makedirs(os.path.dirname(self.record))
        with open(self.record, "wb") as out:
            out.write(os.urandom(8192))
        self.assert_unusable_and_left_alone("garbage")

        os.unlink(self.record)
        for index in range(40):  # a record of several pages
            self.put("101TEST/IMG_%04d.JPG" % index, b"x" * index, T0 + index)
        status, _ = self.run_binary("import", "--dest", os.path.join(self.work, "first"))
        self.assertEqual(status, 0)
        with contextlib.closing(sqlite3.connect(self.record)) as record:
            record.execute("PRAGMA wal_checkpoint(TRUNCATE)")  # all in the file, as at rest
        os.truncate(self.record, os.path.getsize(self.record) // 2)
        self.assert_unusable_and_left_alone("truncated")

    def test_unwritable_state_folder_imports_as_without_a_record(self):
        with Tmpfs("state", "1m") as state:
            subprocess.run(["mount", "-o", "remount,ro", state.path], check=True)
            self.state = state.path
            status, events = self.run_binary("import", "--dest", self.dest)
            self.assertEqual((status, events),
                             (0, import_events(["A.JPG", "B.JPG"], self.dest, 2, 0, 0)))
            self.assert_holds_exactly(self.dest, self.catalogue())
            self.assertEqual(os.listdir(state.path), [])
            # Nothing was recorded: --new-only copies them again, beside the first copies.
            status, events = self.run_binary("import", "--dest", self.dest, "--new-only")
            self.assertEqual((status, events[-1]["downloaded"]), (0, 2))
            self.assertEqual(sorted(os.listdir(self.dest)),
                             ["A (1).JPG", "A.JPG", "B (1).JPG", "B.JPG"])

    def test_killed_mid_import_then_new_only_every_file_is_there_and_none_partial(self):
        for index in range(8):
            self.put("10%dTEST/IMG_%04d.JPG" % (index // 4, index), os.urandom(100_000 + index),
                     T0 + index)
        self.put("100TEST/IMG_0100.MOV", os.urandom(96 * MIB), T0 + 100)  # after A.JPG, B.JPG
        process = self.start("import", "--dest", self.dest)
        for _ in range(6):  # A.JPG, B.JPG, IMG_0000.JPG to IMG_0003.JPG
            self.assertEqual(json.loads(process.read_line(timeout=60))["type"], "progress")
        # Killed while the video is being copied, the files after it perhaps read ahead.
        wait_for_bytes_written(process, self.dest, 48 * MIB)
        process.signal(signal.SIGKILL)
        process.finish(timeout=10)

        status, events = self.run_binary("import", "--dest", self.dest, "--new-only")
        self.assertEqual((status, events[-1]["unavailable"]), (0, 0))
        sources = {hashlib.sha256(content).hexdigest(): relative
                   for relative, (content, _) in self.files.items()}
        copies = {}
        for name in os.listdir(self.dest):
            self.assertFalse(name.startswith("."), name)
            digest = hashlib.sha256(read_bytes(os.path.join(self.dest, name))).hexdigest()
            self.assertIn(digest, sources, name + " is no complete copy of any photo")
            copies.setdefault(sources[digest], []).append(name)
        self.assertEqual(sorted(copies), sorted(self.files))  # every photo at least once

    def test_two_processes_recording_at_once_lose_nothing(self):
        with Camera("SECOND-CARD") as second:
            names = ["IMG_%04d.JPG" % index for index in range(60)]
            for index, name in enumerate(names):
                self.put("102TEST/" + name, os.urandom(100 + index), T0 + index)
                second.add("200TEST/" + name, os.urandom(200 + index), T0 + index)
            status, events = self.run_binary("devices")
            ids = [event["id"] for event in events]
            self.assertEqual(len(ids), 2, events)
            runs = [self.start("import", "--dest", os.path.join(self.work, "to-" + str(n)),
                               "--device", device) for n, device in enumerate(ids)]
            for process in runs:
                status, out, err = process.finish(timeout=120)
                self.assertEqual((status, err), (0, b""))
            for device in ids:
                status, events = self.run_binary("detect", "--items", "--device", device)
                self.assertEqual(status, 0)
                self.assertEqual(len(events), 63 if events[0]["device"] == "CHOICE-CARD" else 61)
                self.assertTrue(all(event["imported"] for event in events[1:]), device)


if __name__ == "__main__":
    harness.main(libdir=True)
