#!/usr/bin/env python3
"""Writes a few small generated photos (PNG) into a camera's DCIM folder.

Usage: make_demo_photos.py DCIM_DIR [COUNT]
"""

import os
import struct
import sys
import zlib


def png(width, height, pixel):
    """A truecolour PNG whose pixel (x, y) is pixel(x, y) -> (r, g, b)."""
    rows = b"".join(
        b"\x00" + bytes(channel for x in range(width) for channel in pixel(x, y))
        for y in range(height))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def main():
    dcim = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 6
    for index in range(count):
        folder = os.path.join(dcim, "%dAPPLE" % (100 + index // 4))
        os.makedirs(folder, exist_ok=True)
        hue = index * 40
        photo = png(160, 120, lambda x, y, hue=hue: ((x + hue) % 256, (y * 2) % 256, (hue * 3) % 256))
        with open(os.path.join(folder, "IMG_%04d.PNG" % (index + 1)), "wb") as out:
            out.write(photo)


if __name__ == "__main__":
    main()
