"""The built binary end to end, through the real libgphoto2, against tmpfs cameras.

Usage (root): test_end_to_end.py BINARY [unittest options]. Run by hand it re-runs itself
inside a private mount namespace; ctest starts it in one. No other camera may be attached.
The slow cases run only with PICFERRY_SLOW_TESTS=1.
"""

import hashlib
import json
import os
import signal
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import picferry_harness as harness  # noqa: E402
from picferry_harness import (MIB, T0, BinaryTest, events_of, import_events,  # noqa: E402
                              read_bytes, read_event, slow, wait_for_bytes_written)
from tmpfs_camera import Camera, Tmpfs  # noqa: E402


def digest(path):
    sha = hashlib.sha256()
    with open(path, "rb") as source:
        for block in iter(lambda: source.read(16 * MIB), b""):
            sha.update(block)
    return sha.hexdigest()


def hidden_files(folder):
    return [name for name in os.listdir(folder) if name.startswith(".")]


class CatalogueTest(BinaryTest):
    """One camera with folders, a sub-folder, an empty file and a quoted non-ASCII name."""

    NAME = "EOS R6 Zo\u00eb"
    # (path under DCIM, contents, modification time), in no particular order.
    FILES = [
        ("101APPLE/Zo\u00eb \"best\".JPG", os.urandom(4096), 946_684_800),
        ("100APPLE/IMG_0002.JPG", os.urandom(12_345), T0 + 2_000),
        ("100APPLE/SUB/CLIP.MOV", os.urandom(2 * MIB + 3), T0 + 400_000),
        ("100APPLE/IMG_0001.JPG", os.urandom(300_000), T0 + 1),
        ("101APPLE/IMG_0003.MP4", os.urandom(77_777), T0 + 5_000_000),
        ("100APPLE/EMPTY.PNG", b"", T0 + 30_000),
    ]
    # Catalogue order: folder by folder (a folder's files by name, then its sub-folders).
    ORDER = ["EMPTY.PNG", "IMG_0001.JPG", "IMG_0002.JPG", "CLIP.MOV", "IMG_0003.MP4",
             "Zo\u00eb \"best\".JPG"]

    @classmethod
    def setUpClass(cls):
        cls.camera = Camera(cls.NAME)
        cls.source = {}
        for relative, content, mtime in cls.FILES:
            cls.camera.add(relative, content, mtime)
            cls.source[os.path.basename(relative)] = (content, mtime)
        os.mkdir(cls.camera.file("102APPLE"))  # an empty folder adds nothing
        with open(os.path.join(cls.camera.path, "NOTES.JPG"), "wb") as outside:
            outside.write(b"not under DCIM")  # outside DCIM: not part of the catalogue

    @classmethod
    def tearDownClass(cls):
        cls.camera.close()

    def run_import(self, dest, *options):
        status, out, err = self.run_to_end("import", "--dest", dest, *options)
        self.assertEqual((status, err), (0, b""), out)
        return out

    def assert_copied(self, dest, saved_as=None):
        """Each source file is in `dest` (under saved_as[name] if given) with its bytes and mtime."""
        saved_as = saved_as or {}
        for name, (content, mtime) in self.source.items():
            path = os.path.join(dest, saved_as.get(name, name))
            with self.subTest(file=path):
                self.assertEqual(read_bytes(path), content)
                self.assertEqual(os.stat(path).st_mtime_ns, mtime * 1_000_000_000)

    def test_detect_reports_count_bytes_and_name_exactly(self):
        status, out, err = self.run_to_end("detect")
        self.assertEqual((status, err), (0, b""))
        total = sum(len(content) for _, content, _ in self.FILES)
        self.assertEqual(events_of(out), [{"type": "detected", "device": self.NAME,
                                           "itemCount": 6, "totalBytes": total}])
        self.assertIn(b'"device":"EOS R6 Zo\xc3\xab"', out)  # raw UTF-8, not \u escapes

    def test_import_copies_in_catalogue_order_then_skip_existing_leaves_all_untouched(self):
        dest = os.path.join(self.work, "new", "photos")  # parents are created
        out = self.run_import(dest)
        self.assertEqual(events_of(out), import_events(self.ORDER, dest, 6, 0, 0))
        self.assertIn('"name":"Zo\u00eb \\"best\\".JPG"'.encode(), out)
        self.assertEqual(sorted(os.listdir(dest)), sorted(self.ORDER))  # nothing hidden left
        self.assertFalse(os.path.exists(os.path.join(dest, "NOTES.JPG")))
        self.assert_copied(dest)

        before = {name: os.stat(os.path.join(dest, name)) for name in self.ORDER}
        out = self.run_import(dest, "--skip-existing")
        self.assertEqual(events_of(out), import_events(self.ORDER, dest, 0, 6, 0))
        self.assertEqual(sorted(os.listdir(dest)), sorted(self.ORDER))
        for name, old in before.items():
            new = os.stat(os.path.join(dest, name))
            with self.subTest(file=name):
                self.assertEqual((new.st_ino, new.st_size, new.st_mtime_ns, new.st_ctime_ns),
                                 (old.st_ino, old.st_size, old.st_mtime_ns, old.st_ctime_ns))
        self.assert_copied(dest)

    def test_existing_names_are_never_overwritten(self):
        dest = self.work
        existing = {
            "IMG_0001.JPG": b"an older, different photo",
            "IMG_0002.JPG": b"taken",
            "IMG_0002 (1).JPG": b"also taken",
            "Zo\u00eb \"best\".JPG": b"",
            ".IMG_0003.MP4": b"a hidden file of the user's",
        }
        for name, content in existing.items():
            with open(os.path.join(dest, name), "wb") as out:
                out.write(content)
        os.mkdir(os.path.join(dest, "CLIP.MOV"))  # a folder holds the name too
        out = self.run_import(dest)
        self.assertEqual(events_of(out), import_events(self.ORDER, dest, 6, 0, 0))
        saved_as = {
            "IMG_0001.JPG": "IMG_0001 (1).JPG",
            "IMG_0002.JPG": "IMG_0002 (2).JPG",
            "CLIP.MOV": "CLIP (1).MOV",
            "Zo\u00eb \"best\".JPG": "Zo\u00eb \"best\" (1).JPG",
        }
        self.assert_copied(dest, saved_as)
        for name, content in existing.items():
            with self.subTest(kept=name):
                self.assertEqual(read_bytes(os.path.join(dest, name)), content)
        self.assertEqual(os.listdir(os.path.join(dest, "CLIP.MOV")), [])
        expected = set(existing) | {"CLIP.MOV"} | {saved_as.get(n, n) for n in self.ORDER}
        self.assertEqual(set(os.listdir(dest)), expected)

    def test_skip_existing_skips_the_same_files_and_folders_of_the_name_only(self):
        dest = self.work
        with open(os.path.join(dest, "IMG_0001.JPG"), "wb") as out:
            out.write(b"mine")  # another photo of the same name: both are kept
        os.mkdir(os.path.join(dest, "CLIP.MOV"))
        with open(os.path.join(dest, "img_0002.jpg"), "wb") as out:
            out.write(b"another name")  # names are compared exactly
        out = self.run_import(dest, "--skip-existing")
        self.assertEqual(events_of(out), import_events(self.ORDER, dest, 5, 1, 0))
        self.assertEqual(read_bytes(os.path.join(dest, "IMG_0001.JPG")), b"mine")
        self.assertEqual(read_bytes(os.path.join(dest, "IMG_0001 (1).JPG")),
                         self.source["IMG_0001.JPG"][0])
        self.assertEqual(read_bytes(os.path.join(dest, "img_0002.jpg")), b"another name")
        self.assertEqual(os.listdir(os.path.join(dest, "CLIP.MOV")), [])
        self.assertEqual(set(os.listdir(dest)),
                         set(self.ORDER) | {"img_0002.jpg", "IMG_0001 (1).JPG"})
        for name in ("EMPTY.PNG", "IMG_0002.JPG", "IMG_0003.MP4", "Zo\u00eb \"best\".JPG"):
            self.assertEqual(read_bytes(os.path.join(dest, name)), self.source[name][0])
        # A second run finds every photo, the variant included.
        self.assertEqual(events_of(self.run_import(dest, "--skip-existing")),
                         import_events(self.ORDER, dest, 0, 6, 0))


class SessionTest(BinaryTest):
    def test_import_sent_while_the_catalogue_settles_waits_for_detected(self):
        files = {"100APPLE/IMG_0001.JPG": os.urandom(1000), "100APPLE/IMG_0002.JPG": b"x",
                 "101APPLE/IMG_0003.PNG": os.urandom(50_000)}
        with Camera("SESSION-CAM") as camera:
            for relative, content in files.items():
                camera.add(relative, content)
            replaced = os.path.join(self.work, "replaced")
            dest = os.path.join(self.work, "photos")
            process = self.start("session")
            # Both before the catalogue can have settled: the later one replaces the earlier.
            process.send(json.dumps({"cmd": "import", "dest": replaced}).encode() + b"\n")
            process.send(json.dumps({"cmd": "import", "dest": dest,
                                     "skipExisting": False}).encode() + b"\n")
            self.assertEqual(read_event(process),
                             {"type": "detected", "device": "SESSION-CAM", "itemCount": 3,
                              "totalBytes": 51_001})
            names = ["IMG_0001.JPG", "IMG_0002.JPG", "IMG_0003.PNG"]
            for expected in import_events(names, dest, 3, 0, 0):
                self.assertEqual(read_event(process), expected)
            # The run ends after "done" though standard input is still open.
            self.assertEqual(process.process.wait(timeout=10), 0)
            status, out, err = process.finish(timeout=10)
            self.assertEqual((status, err), (0, b""))
            self.assertEqual(len(out.splitlines()), 5, out)
            self.assertFalse(os.path.exists(replaced))
            self.assertEqual(sorted(os.listdir(dest)), names)
            for relative, content in files.items():
                self.assertEqual(read_bytes(os.path.join(dest, os.path.basename(relative))),
                                 content)

    def test_files_gone_or_changed_on_the_device_mid_import_count_unavailable(self):
        dest = self.work
        with Camera("GONE-CAM", "1g") as camera:
            camera.add_sized("100APPLE/A.MOV", 512 * MIB)  # long enough to act during it
            content = {name: os.urandom(20_000 + index) for index, name in
                       enumerate(["B.JPG", "C.JPG", "D.JPG", "E.JPG", "F.JPG", "G.JPG",
                                  "H.JPG"])}
            for name in ("B.JPG", "C.JPG", "D.JPG", "E.JPG"):
                camera.add("100APPLE/" + name, content[name])
            for name in ("F.JPG", "G.JPG"):
                camera.add("101APPLE/" + name, content[name])
            camera.add("102APPLE/H.JPG", content["H.JPG"])

            process = self.start("session")
            detected = read_event(process)
            self.assertEqual(detected["itemCount"], 8)
            process.send(json.dumps({"cmd": "import", "dest": dest}).encode() + b"\n")
            wait_for_bytes_written(process, dest, 1)
            # While A.MOV downloads: remove one file, shorten another, remove a whole folder.
            os.unlink(camera.file("100APPLE/C.JPG"))
            os.truncate(camera.file("100APPLE/E.JPG"), 10_000)
            for name in ("F.JPG", "G.JPG"):
                os.unlink(camera.file("101APPLE/" + name))
            os.rmdir(camera.file("101APPLE"))

            names = ["A.MOV", "B.JPG", "C.JPG", "D.JPG", "E.JPG", "F.JPG", "G.JPG", "H.JPG"]
            for expected in import_events(names, dest, 4, 0, 4):
                self.assertEqual(read_event(process, timeout=60), expected)
            self.assertEqual(process.process.wait(timeout=10), 0)
            status, _, err = process.finish(timeout=10)
            self.assertEqual((status, err), (0, b""))
            # Nothing short or partial under any name, and no temporary file left.
            self.assertEqual(sorted(os.listdir(dest)), ["A.MOV", "B.JPG", "D.JPG", "H.JPG"])
            self.assertEqual(read_bytes(os.path.join(dest, "A.MOV")),
                             read_bytes(camera.file("100APPLE/A.MOV")))
            for name in ("B.JPG", "D.JPG", "H.JPG"):
                self.assertEqual(read_bytes(os.path.join(dest, name)), content[name])


class InterruptedTest(BinaryTest):
    """A stop in the middle of a 1.5 GiB file."""

    @classmethod
    def setUpClass(cls):
        cls.camera = Camera("BIG-CAM", "2g")
        cls.small = cls.camera.add("100APPLE/A.JPG", os.urandom(100_000), T0)
        cls.camera.add_sized("100APPLE/BIG.MOV", 1536 * MIB)

    @classmethod
    def tearDownClass(cls):
        cls.camera.close()

    def setUp(self):
        super().setUp()
        self.dest = os.path.join(self.work, "photos")  # on disk

    def stop_during_big_file(self, process, stop):
        wait_for_bytes_written(process, self.dest, 32 * MIB)
        stopped = time.monotonic()
        stop()
        status, out, err = process.finish(timeout=30)
        self.assertLess(time.monotonic() - stopped, 5)
        self.assertEqual((status, err), (0, b""))
        return out

    def assert_only_the_small_file_is_final(self):
        finals = [name for name in os.listdir(self.dest) if not name.startswith(".")]
        self.assertEqual(finals, ["A.JPG"])
        self.assertLessEqual(len(hidden_files(self.dest)), 1)
        self.assertEqual(read_bytes(os.path.join(self.dest, "A.JPG")), read_bytes(self.small))

    def test_sigterm_writes_the_counts_so_far_and_leaves_no_partial_file(self):
        process = self.start("import", "--dest", self.dest)
        out = self.stop_during_big_file(process, lambda: process.signal(signal.SIGTERM))
        self.assertEqual(events_of(out), [
            {"type": "progress", "done": 1, "total": 2, "name": "A.JPG"},
            {"type": "done", "downloaded": 1, "skipped": 0, "unavailable": 0,
             "dest": self.dest}])
        self.assert_only_the_small_file_is_final()

    def test_cancel_writes_the_counts_so_far_and_leaves_no_partial_file(self):
        process = self.start("session")
        self.assertEqual(read_event(process)["itemCount"], 2)
        process.send(json.dumps({"cmd": "import", "dest": self.dest}).encode() + b"\n")
        out = self.stop_during_big_file(process, lambda: process.send(b'{"cmd":"cancel"}\n'))
        self.assertEqual(events_of(out)[1:], [
            {"type": "progress", "done": 1, "total": 2, "name": "A.JPG"},
            {"type": "done", "downloaded": 1, "skipped": 0, "unavailable": 0,
             "dest": self.dest}])
        self.assert_only_the_small_file_is_final()


class FullDestinationTest(BinaryTest):
    def test_files_that_do_not_fit_are_unavailable_and_the_rest_imports(self):
        # 3 MiB of room: A and B fit; C (2 MiB) does not; D (0.5 MiB) fits only if C's
        # temporary file was removed; then E (1 MiB) does not.
        sizes = {"A.JPG": MIB, "B.JPG": MIB, "C.MOV": 2 * MIB, "D.JPG": MIB // 2, "E.JPG": MIB}
        with Camera("FULL-CAM") as camera, Tmpfs("full", "3m") as dest:
            for name, size in sizes.items():
                camera.add_sized("100APPLE/" + name, size)
            status, out, err = self.run_to_end("import", "--dest", dest.path)
            self.assertEqual((status, err), (0, b""))
            self.assertEqual(events_of(out), import_events(list(sizes), dest.path, 3, 0, 2))
            self.assertEqual(sorted(os.listdir(dest.path)), ["A.JPG", "B.JPG", "D.JPG"])
            for name in ("A.JPG", "B.JPG", "D.JPG"):
                self.assertEqual(read_bytes(os.path.join(dest.path, name)),
                                 read_bytes(camera.file("100APPLE/" + name)))


class SameNameTest(BinaryTest):
    def test_files_of_one_name_in_several_folders_are_all_kept(self):
        # Cameras restart their numbering: equal names in different folders are common.
        contents = [os.urandom(1000 + index) for index in range(3)]
        with Camera("SAME-CAM") as camera:
            for index, content in enumerate(contents):
                camera.add("%dAPPLE/IMG_0001.JPG" % (100 + index), content, T0 + index)
            dest = os.path.join(self.work, "Zo\u00eb's \"photos\"")
            status, out, err = self.run_to_end("import", "--dest", dest)
            self.assertEqual((status, err), (0, b""))
            self.assertEqual(events_of(out), import_events(["IMG_0001.JPG"] * 3, dest, 3, 0, 0))
            self.assertIn(('"dest":"%s"' % dest.replace("/", "\\/").replace('"', '\\"'))
                          .encode(), out)
            saved = ["IMG_0001.JPG", "IMG_0001 (1).JPG", "IMG_0001 (2).JPG"]
            self.assertEqual(sorted(os.listdir(dest)), sorted(saved))
            for index, name in enumerate(saved):
                self.assertEqual(read_bytes(os.path.join(dest, name)), contents[index])
                self.assertEqual(os.stat(os.path.join(dest, name)).st_mtime, T0 + index)


    def test_skip_existing_keeps_both_and_skips_only_that_very_file_later(self):
        first, second = os.urandom(1000), os.urandom(2000)
        dest = self.work
        with Camera("SKIP-CAM") as camera:
            camera.add("100APPLE/IMG_0001.JPG", first, T0)
            camera.add("101APPLE/IMG_0001.JPG", second, T0 + 1)

            def imported(downloaded, skipped):
                status, out, err = self.run_to_end("import", "--dest", dest, "--skip-existing")
                self.assertEqual((status, err), (0, b""))
                self.assertEqual(events_of(out), import_events(["IMG_0001.JPG"] * 2, dest,
                                                               downloaded, skipped, 0))

            imported(2, 0)
            self.assertEqual(read_bytes(os.path.join(dest, "IMG_0001.JPG")), first)
            self.assertEqual(read_bytes(os.path.join(dest, "IMG_0001 (1).JPG")), second)
            imported(0, 2)
            with open(os.path.join(dest, "IMG_0001 (1).JPG"), "ab") as edit:
                edit.write(b"edited")
            imported(1, 1)
            self.assertEqual(read_bytes(os.path.join(dest, "IMG_0001 (2).JPG")), second)
            self.assertEqual(len(os.listdir(dest)), 3)

    def test_names_of_the_longest_length_are_all_copied(self):
        name = "\u00e9" * 120 + "x" * 11 + ".JPG"  # 255 bytes
        self.assertEqual(len(name.encode()), 255)
        dest = self.work
        with Camera("LONG-CAM") as camera:
            camera.add("100APPLE/" + name, b"first")
            camera.add("101APPLE/" + name, b"second")
            for skipped in (0, 2):
                status, out, err = self.run_to_end("import", "--dest", dest, "--skip-existing")
                self.assertEqual(events_of(out)[-1]["skipped"], skipped)
                self.assertEqual(events_of(out)[-1]["downloaded"], 2 - skipped)
            saved = sorted(os.listdir(dest))
            self.assertEqual(len(saved), 2)
            self.assertTrue(all(len(entry.encode()) <= 255 for entry in saved), saved)
            self.assertEqual(sorted(read_bytes(os.path.join(dest, entry)) for entry in saved),
                             [b"first", b"second"])


class CardTest(BinaryTest):
    """A memory card: every regular, non-hidden file under DCIM is media."""

    MEDIA = ["100CANON/IMG_0001.HEIC", "100CANON/IMG_0002.heic", "100CANON/IMG_0003.HEIF",
             "100CANON/IMG_0004.AAE", "100CANON/IMG_0005.AVIF", "100CANON/IMG_0006.WEBP",
             "100CANON/IMG_0007.CR3", "100CANON/README"]

    def test_every_extension_is_counted_and_copied_and_hidden_entries_are_not(self):
        dest = self.work
        with Camera("CARD") as camera:
            contents = {}
            for index, relative in enumerate(self.MEDIA):
                contents[os.path.basename(relative)] = os.urandom(100 + index)
                camera.add(relative, contents[os.path.basename(relative)])
            camera.add("100CANON/.hidden.JPG", b"hidden")
            camera.add(".MISC/Info.plist", b"hidden folder")
            status, out, err = self.run_to_end("detect")
            self.assertEqual(events_of(out), [{"type": "detected", "device": "CARD",
                                               "itemCount": len(self.MEDIA),
                                               "totalBytes": sum(map(len, contents.values()))}])
            status, out, err = self.run_to_end("import", "--dest", dest)
            self.assertEqual(events_of(out)[-1]["downloaded"], len(self.MEDIA))
            self.assertEqual(sorted(os.listdir(dest)), sorted(contents))
            for name, content in contents.items():
                self.assertEqual(read_bytes(os.path.join(dest, name)), content, name)


class UnreadableFolderTest(BinaryTest):
    def test_a_folder_that_cannot_be_listed_ends_unreachable(self):
        with Camera("LOCKED-CARD") as camera:
            camera.add("100CANON/IMG_0001.JPG", b"x" * 100)
            camera.add("101CANON/IMG_0002.JPG", b"y" * 100)
            os.chmod(camera.file("101CANON"), 0)
            dest = os.path.join(self.work, "photos")
            for mode in (["detect"], ["import", "--dest", dest]):
                # Root reads any folder: without these capabilities, permissions hold.
                status, out, err = self.run_to_end(
                    "setpriv", "--bounding-set", "-dac_override,-dac_read_search",
                    harness.BINARY, *mode)
                self.assertEqual((status, err), (1, b""), mode)
                self.assertEqual(events_of(out), [{
                    "type": "error", "code": "device_unreachable",
                    "message": "Couldn't reach the iPhone. Unlock it, unplug and replug, "
                               "then try again."}], mode)
            self.assertEqual(os.listdir(dest), [])


class HugeFileTest(BinaryTest):
    """A sparse file over 4 GiB: sizes must not be cut to 32 bits."""

    SIZE = 5 * 1024 * MIB + 7

    @classmethod
    def setUpClass(cls):
        cls.camera = Camera("HUGE-CAM", "8g")
        cls.huge = cls.camera.file("100APPLE/HUGE.MOV")
        os.makedirs(os.path.dirname(cls.huge))
        with open(cls.huge, "wb") as out:
            for offset in (0, 4 * 1024 * MIB - 512 * 1024, cls.SIZE - MIB):
                out.seek(offset)
                out.write(os.urandom(MIB))  # data around the 4 GiB mark and at the end
        cls.camera.add("100APPLE/SMALL.JPG", b"12345")

    @classmethod
    def tearDownClass(cls):
        cls.camera.close()

    def test_detect_counts_every_byte(self):
        status, out, err = self.run_to_end("detect")
        self.assertEqual((status, err), (0, b""))
        self.assertEqual(events_of(out), [{"type": "detected", "device": "HUGE-CAM",
                                           "itemCount": 2, "totalBytes": self.SIZE + 5}])

    @slow
    def test_import_copies_every_byte(self):
        dest = self.work  # on disk
        status, out, err = self.run_to_end("import", "--dest", dest, timeout=240)
        self.assertEqual((status, err), (0, b""))
        self.assertEqual(events_of(out), import_events(["HUGE.MOV", "SMALL.JPG"], dest, 2, 0, 0))
        self.assertEqual(sorted(os.listdir(dest)), ["HUGE.MOV", "SMALL.JPG"])
        copy = os.path.join(dest, "HUGE.MOV")
        self.assertEqual(os.stat(copy).st_size, self.SIZE)
        self.assertEqual(digest(copy), digest(self.huge))


@slow
class StalledSourceTest(BinaryTest):
    def test_a_file_cut_short_while_it_downloads_is_unavailable(self):
        # The source stops delivering bytes mid-download (libgphoto2 then waits for ever):
        # the download must be given up, and the import go on.
        dest = self.work
        with Camera("STALL-CAM", "2g") as camera:
            camera.add_sized("100APPLE/A.MOV", 1024 * MIB)
            camera.add("100APPLE/B.JPG", b"after the stall")
            process = self.start("import", "--dest", dest)
            wait_for_bytes_written(process, dest, 16 * MIB)
            os.truncate(camera.file("100APPLE/A.MOV"), 8 * MIB)
            status, out, err = process.finish(timeout=120)
            self.assertEqual((status, err), (0, b""))
            self.assertEqual(events_of(out), import_events(["A.MOV", "B.JPG"], dest, 1, 0, 1))
            self.assertEqual(os.listdir(dest), ["B.JPG"])
            self.assertEqual(read_bytes(os.path.join(dest, "B.JPG")), b"after the stall")


@slow
class LargeFolderTest(BinaryTest):
    def test_detect_lists_a_folder_of_60000_files_completely(self):
        # libgphoto2 lists one folder in one call, in time quadratic in its size: here
        # well over the 3 s settle. The folder after it must be counted too.
        with Camera("FLAT-CAM", "512m") as camera:
            directory = camera.file("100FLAT")
            os.mkdir(directory)
            total = 0
            for index in range(60_000):
                with open(os.path.join(directory, "IMG_%06d.JPG" % index), "wb") as out:
                    out.write(b"x" * (index % 5))
                total += index % 5
            camera.add("101LAST/LAST.JPG", b"the last one")
            status, out, err = self.run_to_end("detect", timeout=200)
            self.assertEqual((status, err), (0, b""))
            self.assertEqual(events_of(out), [{"type": "detected", "device": "FLAT-CAM",
                                               "itemCount": 60_001,
                                               "totalBytes": total + 12}])

    def test_import_of_10000_files_in_one_folder_handles_each_once(self):
        with Camera("FLAT-CAM", "256m") as camera, Tmpfs("dest", "256m") as dest:
            names = camera.add_many_empty("100APPLE", 10_000)
            status, out, err = self.run_to_end("import", "--dest", dest.path, timeout=300)
            self.assertEqual((status, err), (0, b""))
            self.assertEqual(events_of(out), import_events(names, dest.path, 10_000, 0, 0))
            self.assertEqual(sorted(os.listdir(dest.path)), names)


if __name__ == "__main__":
    harness.main()
