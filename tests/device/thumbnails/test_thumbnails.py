"""Thumbnails (--thumbnails) end to end through the real libraries on every route: the fake
phone (usbmuxd, lockdownd and AFC, read with seeks and partial reads), an emulated PTP
camera behind the stand-in libusb (Debian's libgphoto2: GetThumb, then partial reads) and a
tmpfs card (mounted storage, pread). The photos are made here (thumbnail_photos.py).

Usage (root): test_thumbnails.py BINARY LIBDIR [unittest options], LIBDIR holding the
stand-in libusb-1.0.so.0. Run by hand it re-runs itself inside a private mount namespace;
ctest starts it in one. No other device may be attached.
"""

import os
import stat
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "selection"))

import picferry_harness as harness  # noqa: E402
from picferry_harness import T0, read_bytes  # noqa: E402
from test_selection import CardRoute, ChoiceTest, PhoneRoute, UsbRoute  # noqa: E402
from thumbnail_photos import (garbage_jpeg, heic_with_thumbnail, jpeg_with_exif_thumbnail,  # noqa: E402
                              plain_jpeg, thumbnail_first)
from usb_emulator import host_log  # noqa: E402
from PIL import Image, ImageStat  # noqa: E402


def truncated(data, fraction=0.6):
    return data[:int(len(data) * fraction)]


# name under DCIM, how the file is made, the aspect (width, height) of its upright
# thumbnail, or None: the event comes without a file.
CASES = [
    ("100TEST/IMG_0001.JPG", lambda: jpeg_with_exif_thumbnail(1600, 1200), (4, 3)),
    ("100TEST/IMG_0002.JPG", lambda: jpeg_with_exif_thumbnail(1200, 1600, orientation=6), (3, 4)),
    ("100TEST/IMG_0003.HEIC", lambda: thumbnail_first(heic_with_thumbnail(1200, 900)), (4, 3)),
    ("100TEST/IMG_0004.HEIC", lambda: heic_with_thumbnail(900, 1200), (3, 4)),
    # A photo's size, its thumbnail after the image data: read apart from the head.
    ("100TEST/IMG_0010.HEIC", lambda: heic_with_thumbnail(1400, 1050, quality=80, grain=True),
     (4, 3)),
    ("100TEST/IMG_0005.JPG", lambda: plain_jpeg(800, 600), (4, 3)),  # small: read whole
    ("100TEST/IMG_0006.JPG", lambda: plain_jpeg(1400, 1000, noise=True), None),  # > 1 MiB
    ("100TEST/IMG_0007.MOV", lambda: os.urandom(300_000), None),
    ("100TEST/IMG_0008.JPG", garbage_jpeg, None),
    ("100TEST/IMG_0009.HEIC", lambda: truncated(heic_with_thumbnail(1200, 900)), None),
]
# The JPEGs whose EXIF thumbnail an emulated camera serves through GetThumb.
DEVICE_THUMBNAILS = 2


def mean_colour(picture, x, y):
    """The mean colour of the square around (x, y), a sixteenth of the picture's width wide:
    a grainy photo's single pixel strays far enough from its colour to fail a check now and
    then."""
    half = max(1, picture.size[0] // 32)
    box = picture.crop((x - half, y - half, x + half, y + half))
    return tuple(round(value) for value in ImageStat.Stat(box).mean)


def is_red(pixel):
    return pixel[0] > 180 and pixel[1] < 90 and pixel[2] < 90


def is_blue(pixel):
    return pixel[2] > 180 and pixel[0] < 90


class ThumbnailTest(ChoiceTest):
    """Every case of CASES on one route: the thumbnails, then the same from the cache."""

    def setUp(self):
        super().setUp()
        self.cache = os.path.join(self.work, "cache")

    def environment(self):
        return dict(super().environment(), XDG_CACHE_HOME=self.cache)

    def thumbnails(self, *extra):
        status, events = self.run_binary("detect", "--items", "--thumbnails", *extra)
        self.assertEqual(status, 0)
        items = [event for event in events if event["type"] == "item"]
        thumbnails = [event for event in events if event["type"] == "thumbnail"]
        self.assertEqual(events, events[:1] + items + thumbnails)
        self.assertEqual([event["path"] for event in thumbnails],
                         [event["path"] for event in items])
        return thumbnails

    def assert_upright(self, event, aspect):
        with Image.open(event["file"]) as picture:
            self.assertEqual(picture.format, "JPEG")
            self.assertEqual(picture.size, (event["width"], event["height"]))
            width, height = picture.size
            self.assertLessEqual(max(width, height), 320)
            self.assertAlmostEqual(width / height, aspect[0] / aspect[1], delta=0.03)
            rgb = picture.convert("RGB")
            top_left = mean_colour(rgb, width // 4, height // 4)
            bottom_right = mean_colour(rgb, 3 * width // 4, 3 * height // 4)
            self.assertTrue(is_red(top_left), "top left %s" % (top_left,))
            self.assertTrue(is_blue(bottom_right), "bottom right %s" % (bottom_right,))

    def test_every_photo_gets_an_upright_thumbnail_and_a_second_run_reads_none(self):
        for index, (relative, make, _) in enumerate(CASES):
            self.put(relative, make(), T0 + index)
        expected = {self.route.device_path(relative): aspect for relative, _, aspect in CASES}

        first = self.thumbnails()
        for event in first:
            with self.subTest(path=event["path"]):
                aspect = expected[event["path"]]
                if aspect is None:
                    self.assertEqual(event, {"type": "thumbnail", "path": event["path"]})
                else:
                    self.assertTrue(event["file"].startswith(self.cache + "/"))
                    self.assert_upright(event, aspect)
        for folder in (os.path.join(self.cache, "picferry"),
                       os.path.join(self.cache, "picferry", "thumbnails")):
            self.assertEqual(stat.S_IMODE(os.stat(folder).st_mode), 0o700)
        if isinstance(self.route, UsbRoute):
            served = [entry for entry in host_log(self.route.bus) if entry[1] == "getthumb"]
            self.assertEqual(len(served), DEVICE_THUMBNAILS)

        # Every photo's bytes change, not its size or date: what the device would give now
        # is garbage, so a second run shows the same thumbnails only if it reads none.
        for relative, (content, mtime) in self.files.items():
            self.route.put(relative, os.urandom(len(content)), mtime)
        kept = {event["file"]: read_bytes(event["file"]) for event in first if "file" in event}
        self.assertEqual(self.thumbnails(), first)
        self.assertEqual({file: read_bytes(file) for file in kept}, kept)

    def test_a_damaged_cache_entry_is_made_again(self):
        relative, make, aspect = CASES[0]
        self.put(relative, make(), T0)
        (event,) = self.thumbnails()
        with open(event["file"], "r+b") as entry:
            entry.seek(-40, os.SEEK_END)
            entry.write(b"\0" * 20)
        (again,) = self.thumbnails()
        self.assertEqual(again, event)
        self.assert_upright(again, aspect)


class CardThumbnailTest(ThumbnailTest):
    ROUTE = CardRoute


class PhoneThumbnailTest(ThumbnailTest):
    ROUTE = PhoneRoute


class UsbThumbnailTest(ThumbnailTest):
    ROUTE = UsbRoute


del ThumbnailTest  # only its routes run


if __name__ == "__main__":
    harness.main(libdir=True)
