"""Photos for the thumbnail tests, made on the spot with Debian's tools: Pillow (python3-pil)
draws and writes JPEGs, exiftool (libimage-exiftool-perl) puts an EXIF thumbnail and an
orientation into them, heif-enc (libheif-examples) writes HEIC files with a thumbnail item.

Every picture is drawn upright with its top-left quarter red and the rest blue, so that a
thumbnail shows whether it is upright: its top-left is red and its bottom-right blue.
"""

import io
import os
import struct
import subprocess
import tempfile

from PIL import Image, ImageDraw

RED = (230, 20, 20)
BLUE = (20, 60, 230)


def upright_picture(width, height):
    picture = Image.new("RGB", (width, height), BLUE)
    ImageDraw.Draw(picture).rectangle((0, 0, width // 2 - 1, height // 2 - 1), fill=RED)
    return picture


def _jpeg(picture, quality=85):
    out = io.BytesIO()
    picture.save(out, "JPEG", quality=quality)
    return out.getvalue()


# The stored pixels of a photo whose EXIF orientation turns them into the upright picture.
_STORED = {1: lambda p: p, 3: lambda p: p.rotate(180), 6: lambda p: p.rotate(90, expand=True),
           8: lambda p: p.rotate(-90, expand=True)}


def jpeg_with_exif_thumbnail(width, height, orientation=1, thumbnail_side=160):
    """A JPEG showing the upright picture width x height once turned by `orientation`, its
    pixels stored turned, with an EXIF thumbnail of those stored pixels (as cameras write
    them)."""
    stored = _STORED[orientation](upright_picture(width, height))
    thumbnail = stored.copy()
    thumbnail.thumbnail((thumbnail_side, thumbnail_side))
    with tempfile.TemporaryDirectory() as work:
        photo, small = os.path.join(work, "photo.jpg"), os.path.join(work, "thumb.jpg")
        with open(photo, "wb") as out:
            out.write(_jpeg(stored))
        with open(small, "wb") as out:
            out.write(_jpeg(thumbnail))
        subprocess.run(["exiftool", "-q", "-overwrite_original", "-ThumbnailImage<=" + small,
                        "-Orientation#=%d" % orientation, photo], check=True)
        with open(photo, "rb") as source:
            return source.read()


def plain_jpeg(width, height, noise=False, quality=85):
    """A JPEG without EXIF; with `noise`, of random pixels (megabytes at this size)."""
    if noise:
        return _jpeg(Image.frombytes("RGB", (width, height), os.urandom(width * height * 3)),
                     quality=95)
    return _jpeg(upright_picture(width, height), quality)


def heic_with_thumbnail(width, height, thumbnail_side=320, quality=50, grain=False):
    """A HEIC of the upright picture with a thumbnail item (heif-enc -t); with `grain`, the
    picture has noise over it, which keeps its image data as large as a photo's."""
    with tempfile.TemporaryDirectory() as work:
        png, heic = os.path.join(work, "photo.png"), os.path.join(work, "photo.heic")
        picture = upright_picture(width, height)
        if grain:
            noise = Image.frombytes("RGB", (width, height), os.urandom(width * height * 3))
            picture = Image.blend(picture, noise, 0.2)
        picture.save(png)
        subprocess.run(["heif-enc", "-q", str(quality), "-t", str(thumbnail_side), png,
                        "-o", heic], check=True, stdout=subprocess.DEVNULL)
        with open(heic, "rb") as source:
            return source.read()


def garbage_jpeg(size=40000):
    """A JPEG start and an EXIF segment header, then random bytes."""
    return b"\xff\xd8\xff\xe1\x7f\xf0Exif\x00\x00" + os.urandom(size)


def _boxes(data, start=0, end=None):
    end = len(data) if end is None else end
    while start + 8 <= end:
        size, kind = struct.unpack(">I4s", data[start:start + 8])
        yield kind, start, size
        start += size


def thumbnail_first(heic):
    """The HEIC with its items' data in reverse order in 'mdat' (heif-enc writes the
    thumbnail after the image): the thumbnail just after the metadata, as an iPhone writes
    it. Only heif-enc's layout is handled: iloc version 0 or 1, 4-byte base offsets, offsets and
    lengths, one extent per item."""
    data = bytearray(heic)
    meta = next((start, size) for kind, start, size in _boxes(data) if kind == b"meta")
    mdat = next((start, size) for kind, start, size in _boxes(data) if kind == b"mdat")
    iloc = next(start for kind, start, size in _boxes(data, meta[0] + 12, meta[0] + meta[1])
                if kind == b"iloc")
    version = data[iloc + 8]
    assert version in (0, 1) and data[iloc + 12:iloc + 14] == b"\x44\x40"
    count = struct.unpack(">H", data[iloc + 14:iloc + 16])[0]
    entries = []  # (where the base offset is written, offset, length)
    at = iloc + 16
    for _ in range(count):
        at += 2 * version  # construction method: 0, file offsets
        base, extents, offset, length = struct.unpack(">IHII", data[at + 4:at + 18])
        assert extents == 1
        entries.append((at + 4, base + offset, length))
        struct.pack_into(">I", data, at + 10, 0)
        at += 18
    body = mdat[0] + 8
    pieces = sorted(entries, key=lambda entry: entry[1], reverse=True)
    new_body = b""
    for where, offset, length in pieces:
        struct.pack_into(">I", data, where, body + len(new_body))
        new_body += bytes(heic[offset:offset + length])
    assert len(new_body) == mdat[1] - 8
    data[body:body + len(new_body)] = new_body
    return bytes(data)
