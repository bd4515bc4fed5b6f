"""The built binary end to end through usbmuxd, lockdownd and AFC, against the fake phone.

Usage: test_afc_end_to_end.py BINARY [unittest options]. No root and no real usbmuxd: the
binary finds the fake through USBMUXD_SOCKET_ADDRESS. The slow case runs only with
PICFERRY_SLOW_TESTS=1.
"""

import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import picferry_harness as harness  # noqa: E402
from picferry_harness import MIB, T0, BinaryTest, slow, through_usbmuxd  # noqa: E402

LOCKED = "The iPhone is locked. Unlock it and keep it unlocked while its photos are read."
UNREACHABLE = {"type": "error", "code": "device_unreachable",
               "message": "Couldn't reach the iPhone. Unlock it, unplug and replug, then try again."}


class PhoneTest(BinaryTest):
    """A fake phone serving FILES (path under DCIM -> size) for each test."""

    FILES = {"100APPLE/IMG_0001.HEIC": 300_000, "100APPLE/IMG_0002.MOV": 3 * MIB + 7,
             "100APPLE/IMG_0003.JPG": 0, "101APPLE/IMG_0101.PNG": 12_345}
    ORDER = ["IMG_0001.HEIC", "IMG_0002.MOV", "IMG_0003.JPG", "IMG_0101.PNG"]
    SWITCHES = {}

    def setUp(self):
        super().setUp()
        self.root = harness.tree(os.path.join(self.work, "phone"), {
            "DCIM/" + path: (os.urandom(size), T0 + index)
            for index, (path, size) in enumerate(self.FILES.items())})
        self.phone = self.fake_phone(self.root, **self.SWITCHES)
        self.dest = os.path.join(self.work, "dest")

    def environment(self):
        return through_usbmuxd(self.usbmuxd)

    def phone_file(self, name):
        path = next(p for p in self.FILES if p.endswith("/" + name))
        return os.path.join(self.root, "DCIM", path)

    def assert_imported(self, events, downloaded=None):
        names = self.ORDER if downloaded is None else downloaded
        self.assertEqual(events[-1], {"type": "done", "downloaded": len(names), "skipped": 0,
                                      "unavailable": len(self.ORDER) - len(names),
                                      "dest": self.dest})
        self.assertEqual(sorted(os.listdir(self.dest)), sorted(names))
        for name in names:
            with open(os.path.join(self.dest, name), "rb") as copy, \
                    open(self.phone_file(name), "rb") as original:
                self.assertEqual(copy.read(), original.read(), name)
            self.assertEqual(os.stat(os.path.join(self.dest, name)).st_mtime,
                             os.stat(self.phone_file(name)).st_mtime, name)


class TrustedPhoneTest(PhoneTest):
    def test_detect_reports_the_phones_name_count_and_bytes(self):
        status, events, _ = self.run_binary("detect")
        self.assertEqual(status, 0)
        self.assertEqual(events, [{"type": "detected", "device": "Zoë's iPhone",
                                   "itemCount": 4, "totalBytes": sum(self.FILES.values())}])

    def test_import_copies_every_file_byte_identical_in_catalogue_order(self):
        status, events, _ = self.run_binary("import", "--dest", self.dest)
        self.assertEqual(status, 0)
        self.assertEqual([event.get("name") for event in events[:-1]], self.ORDER)
        self.assert_imported(events)
        self.assertEqual(self.phone.count("Pair"), 0)  # the pair record was used


class LockedThenUnlockedTest(PhoneTest):
    SWITCHES = {"locked_refusals": 3}

    def test_phone_unlocked_after_three_refusals_imports_normally(self):
        status, events, _ = self.run_binary("import", "--dest", self.dest)
        self.assertEqual(status, 0)
        self.assert_imported(events)
        self.assertEqual(self.phone.count("StartSession"), 4)


class TrustTappedTest(PhoneTest):
    """The computer pairs and keeps the record: the phone's TLS session accepts it."""
    SWITCHES = {"trust_pending_refusals": 2}

    def test_trust_tapped_after_two_refusals_pairs_once_and_imports(self):
        status, events, _ = self.run_binary("import", "--dest", self.dest)
        self.assertEqual(status, 0)
        self.assert_imported(events)
        self.assertEqual(self.phone.count("Pair"), 3)
        self.assertEqual(self.phone.tls_sessions, 1)

    def test_the_saved_record_is_used_by_the_next_run(self):
        self.assertEqual(self.run_binary("detect")[0], 0)
        self.assertEqual(self.run_binary("import", "--dest", self.dest)[0], 0)
        self.assertEqual(self.phone.count("Pair"), 3)
        self.assertEqual(self.phone.tls_sessions, 2)


class UnpluggedTest(PhoneTest):
    SWITCHES = {"detach_after_bytes": 300_000 + MIB}

    def test_unplugged_mid_file_counts_the_rest_unavailable_quickly(self):
        status, events, seconds = self.run_binary("import", "--dest", self.dest)
        self.assertEqual(status, 0)
        self.assertEqual([event.get("name") for event in events[:-1]], self.ORDER)
        self.assert_imported(events, downloaded=["IMG_0001.HEIC"])
        self.assertLess(seconds, 20)


class UnreadableCatalogueTest(PhoneTest):
    """A catalogue that cannot be read in full is never reported, nor imported."""

    def assert_unreachable(self, switches, timeout=60, folders_read=None):
        for mode in (["detect"], ["import", "--dest", self.dest]):
            with self.subTest(mode=mode[0]):
                self.phone.stop()
                os.remove(self.usbmuxd)
                self.phone = self.fake_phone(self.root, **switches)
                status, events, _ = self.run_binary(*mode, timeout=timeout)
                self.assertEqual(status, 1)
                self.assertEqual(events, [UNREACHABLE])
                self.assertEqual(os.listdir(self.dest) if os.path.exists(self.dest) else [], [])
                if folders_read is not None:
                    self.assertEqual(self.phone.count("READ_DIR"), folders_read)

    def test_a_folder_the_phone_refuses_to_list(self):
        self.assert_unreachable({"refused_folders": ["/DCIM/101APPLE"]})

    def test_a_phone_unplugged_while_listing(self):
        self.assert_unreachable({"unplug_at": ("READ_DIR", 2)})

    def test_a_phone_unplugged_while_the_last_folders_entries_are_described(self):
        # Each entry is described after its folder is read: DCIM's two folders, 100APPLE's
        # three files, then 101APPLE's one, the sixth description, after the last listing.
        self.assert_unreachable({"unplug_at": ("FILE_INFO", 6)}, folders_read=3)

    def test_a_listing_call_that_never_answers(self):
        start = time.monotonic()
        self.assert_unreachable({"stalled_folders": ["/DCIM/100APPLE"]})
        self.assertLess(time.monotonic() - start, 60)


class ShortFileTest(PhoneTest):
    SWITCHES = {"short_files": ["/DCIM/100APPLE/IMG_0002.MOV"]}

    def test_a_file_that_arrives_short_is_unavailable_and_leaves_nothing(self):
        status, events, _ = self.run_binary("import", "--dest", self.dest)
        self.assertEqual(status, 0)
        self.assertEqual([event.get("name") for event in events[:-1]], self.ORDER)
        self.assert_imported(events, downloaded=["IMG_0001.HEIC", "IMG_0003.JPG", "IMG_0101.PNG"])


class SlashInNameTest(PhoneTest):
    """Names holding "/" are saved under their safe names: the first file is asked for before
    anything is read ahead, the last is one the read-ahead reaches."""

    SWITCHES = {"listed_as": {"/DCIM/100APPLE/IMG_0001.HEIC": "IMG/0001.HEIC",
                              "/DCIM/101APPLE/IMG_0101.PNG": "IMG/0101.PNG"}}

    def test_each_is_downloaded_under_its_safe_name(self):
        status, events, _ = self.run_binary("import", "--dest", self.dest)
        self.assertEqual(status, 0)
        self.assertEqual([event.get("name") for event in events[:-1]],
                         ["IMG/0001.HEIC", "IMG_0002.MOV", "IMG_0003.JPG", "IMG/0101.PNG"])
        self.assert_imported(events)  # "/" becomes "_": the names the phone's folder holds


class SameNameTest(PhoneTest):
    """After IMG_9999 an iPhone starts again at IMG_0001 in a new folder."""

    FILES = {"100APPLE/IMG_0001.JPG": 1000, "101APPLE/IMG_0001.JPG": 2000,
             "101APPLE/.hidden.JPG": 5, ".MISC/Info.plist": 7}

    def imported(self):
        status, events, _ = self.run_binary("import", "--dest", self.dest, "--skip-existing")
        self.assertEqual(status, 0)
        self.assertEqual([event.get("name") for event in events[:-1]], ["IMG_0001.JPG"] * 2)
        return events[-1]

    def content(self, name):
        with open(os.path.join(self.dest, name), "rb") as copy:
            return copy.read()

    def test_both_are_kept_and_only_that_very_file_is_skipped_later(self):
        self.assertEqual(self.imported(), {"type": "done", "downloaded": 2, "skipped": 0,
                                           "unavailable": 0, "dest": self.dest})
        for name, source in (("IMG_0001.JPG", "100APPLE"), ("IMG_0001 (1).JPG", "101APPLE")):
            with open(os.path.join(self.root, "DCIM", source, "IMG_0001.JPG"), "rb") as original:
                self.assertEqual(self.content(name), original.read(), name)
        self.assertEqual(self.imported()["skipped"], 2)
        with open(os.path.join(self.dest, "IMG_0001.JPG"), "ab") as edit:
            edit.write(b"edited")
        self.assertEqual(self.imported(), {"type": "done", "downloaded": 1, "skipped": 1,
                                           "unavailable": 0, "dest": self.dest})
        self.assertEqual(len(self.content("IMG_0001 (2).JPG")), 1000)
        self.assertEqual(sorted(os.listdir(self.dest)),
                         ["IMG_0001 (1).JPG", "IMG_0001 (2).JPG", "IMG_0001.JPG"])


class NamelessPhoneTest(PhoneTest):
    SWITCHES = {"name": ""}

    def test_an_empty_name_is_reported_as_it_is(self):
        status, events, _ = self.run_binary("detect")
        self.assertEqual(status, 0)
        self.assertEqual(events[0]["device"], "")


@slow
class StaysLockedTest(PhoneTest):
    """15 refusals 2 s apart: the reason arrives near 28-30 s, well before the 40 s watchdog
    (whose "device_unreachable" advice, unplug and replug, would be the wrong one)."""

    SWITCHES = {"locked_refusals": -1}
    REASON = LOCKED

    def test_phone_that_stays_locked_ends_with_its_reason(self):
        status, events, seconds = self.run_binary("import", "--dest", self.dest, timeout=70)
        self.assertEqual(status, 1)
        self.assertEqual(events, [{"type": "error", "code": "locked_or_untrusted",
                                   "message": self.REASON}])
        self.assertLess(seconds, 38)  # the refusals' 30 s, a busy machine's slack


@slow
class StaysUntrustedTest(StaysLockedTest):
    SWITCHES = {"trust_pending_refusals": -1}
    REASON = ("The iPhone is asking whether to trust this computer. Unlock it and tap Trust on "
              "its screen.")


@slow
class StaysDeniedTest(StaysLockedTest):
    SWITCHES = {"trust_denied": True}
    REASON = ("The iPhone was told not to trust this computer. Unplug it, plug it in again, "
              "unlock it and tap Trust.")


if __name__ == "__main__":
    harness.main(namespace=False)
