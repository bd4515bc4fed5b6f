"""Thumbnails (--thumbnails): what is read from the device per photo, and how long 1,000
photos take, on the fake phone with a phone's pace and on the emulated USB camera against
`gphoto2 --get-all-thumbnails`; then the same again from the cache.

Usage (root; it re-runs itself in a private mount namespace):
  thumbnail_bench.py --binary PICFERRY --libdir DIR [--photos N] [--rounds R]
      [--latency SECONDS] [--link BYTES_PER_SECOND] [--only phone|usb] [--scratch DIR]
DIR holds the stand-in libusb-1.0.so.0 (picferry_fake_libusb). Prints Markdown tables.

The photos: half camera JPEGs (2400 x 1800, EXIF thumbnail 160 x 120), half iPhone-like
HEICs (2016 x 1512, a 320 x 240 thumbnail item just after the metadata), made once by
thumbnail_photos.py and hard-linked N times under new names. The phone answers each AFC
request `--latency` late (default 1 ms) and carries file bytes at `--link` (default
35 MB/s, USB 2 as an iPhone gives it); the phase (from the last `item` event to the exit)
is set against those bytes' link time plus the requests' latency. The USB camera (JPEGs
only: a camera's own thumbnails through GetThumb) answers at once: the phase against the
whole `gphoto2 --get-all-thumbnails` process, the tool going first alternating by round;
the ratio is the median of per-round ratios.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
for folder in ("afc", "usb", "thumbnails"):
    sys.path.insert(0, os.path.join(HERE, "..", "tests", "device", folder))

from fake_phone import FakePhone  # noqa: E402
from thumbnail_photos import thumbnail_first  # noqa: E402
from usb_emulator import UsbBus, host_log  # noqa: E402

from PIL import Image  # noqa: E402

T0 = 1_600_000_000


def noise(width, height):
    return Image.frombytes("RGB", (width, height), os.urandom(width * height * 3))


def camera_jpeg(work):
    """A 2400 x 1800 JPEG of a camera's size (noise: a few megabytes), with an EXIF
    thumbnail of 160 x 120 (exiftool)."""
    photo, small = os.path.join(work, "camera.jpg"), os.path.join(work, "small.jpg")
    picture = noise(2400, 1800)
    picture.save(photo, "JPEG", quality=80)
    picture.resize((160, 120)).save(small, "JPEG", quality=80)
    subprocess.run(["exiftool", "-q", "-overwrite_original", "-ThumbnailImage<=" + small,
                    "-Orientation#=1", photo], check=True)
    return photo


def iphone_heic(work):
    """A 2016 x 1512 HEIC, its 320 x 240 thumbnail item right after the metadata (heif-enc
    writes it last: moved), as an iPhone writes it. Noise at quality 35: 1.4 MB, and the
    thumbnail item ends within the first 64 KiB, as an iPhone's does (at a higher quality
    the noise makes the thumbnail item itself larger than a real one)."""
    png, heic = os.path.join(work, "iphone.png"), os.path.join(work, "iphone.heic")
    noise(2016, 1512).save(png)
    subprocess.run(["heif-enc", "-q", "35", "-t", "320", png, "-o", heic], check=True,
                   stdout=subprocess.DEVNULL)
    with open(heic, "rb") as source:
        data = thumbnail_first(source.read())
    with open(heic, "wb") as out:
        out.write(data)
    return heic


def put(folder, names_and_sources):
    for name, source in names_and_sources:
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        os.link(source, path)
        os.utime(path, (T0, T0))


def run_phase(binary, env):
    """One `detect --items --thumbnails`: (phase seconds, thumbnail events)."""
    process = subprocess.Popen([binary, "detect", "--items", "--thumbnails"], env=env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL)
    started = None
    thumbnails = []
    for line in process.stdout:
        event = json.loads(line)
        if event["type"] in ("item", "detected"):
            started = time.monotonic()
        elif event["type"] == "thumbnail":
            thumbnails.append(event)
    process.wait()
    return time.monotonic() - started, thumbnails


def phone_bench(args, work, jpeg, heic):
    root = os.path.join(work, "phone")
    half = args.photos // 2
    put(root, [("DCIM/100APPLE/IMG_%04d.JPG" % i, jpeg) for i in range(half)] +
        [("DCIM/100APPLE/IMG_%04d.HEIC" % i, heic) for i in range(half, args.photos)])
    socket_path = os.path.join(work, "usbmuxd")
    phone = FakePhone(socket_path, root, bytes_per_second=args.link,
                      request_latency=args.latency).start()
    cache = os.path.join(work, "phone-cache")
    env = dict(os.environ, USBMUXD_SOCKET_ADDRESS="UNIX:" + socket_path, XDG_CACHE_HOME=cache,
               HOME=work)
    rows = []
    try:
        for label in ("first run", "from the cache"):
            requests = {kind: phone.count(kind) for kind in
                        ("FILE_OPEN", "FILE_SEEK", "FILE_READ", "FILE_CLOSE")}
            served = phone.bytes_served
            seconds, events = run_phase(args.binary, env)
            served = phone.bytes_served - served
            made = sum(1 for event in events if "file" in event)
            count = sum(phone.count(kind) - n for kind, n in requests.items())
            floor = served / args.link + count * args.latency
            rows.append((label, len(events), made, served / max(len(events), 1), count,
                         served / args.link, floor, seconds))
    finally:
        phone.stop()
    print("### Fake phone (AFC), %d photos: %d JPEG + %d iPhone-like HEIC, %.0f MB/s, %.1f ms a"
          " request\n" % (args.photos, half, args.photos - half, args.link / 1e6,
                          args.latency * 1000))
    print("| run | events | with file | bytes read per photo | AFC requests | link time of"
          " those bytes | link time + request latency | phase |")
    print("|---|---|---|---|---|---|---|---|")
    for label, events, made, per_photo, count, link, floor, seconds in rows:
        print("| %s | %d | %d | %.0f | %d | %.2f s | %.2f s | %.2f s |" % (
            label, events, made, per_photo, count, link, floor, seconds))
    print()


def usb_bench(args, work, jpeg):
    bus = UsbBus(os.path.abspath(args.libdir))
    root = os.path.join(work, "camera")
    put(root, [("DCIM/100CANON/IMG_%04d.JPG" % i, jpeg) for i in range(args.photos)])
    device = bus.plug("camera", root)
    env = bus.env(dict(os.environ, HOME=work))
    ours, theirs, ratios = [], [], []
    try:
        for round_number in range(args.rounds):
            def picferry():
                cache = os.path.join(work, "usb-cache")
                shutil.rmtree(cache, ignore_errors=True)
                seconds, events = run_phase(args.binary, dict(env, XDG_CACHE_HOME=cache))
                assert sum(1 for event in events if "file" in event) == args.photos, events[:3]
                return seconds

            def gphoto2():
                out = tempfile.mkdtemp(dir=work)
                started = time.monotonic()
                subprocess.run(["gphoto2", "--port", device.port, "--get-all-thumbnails"],
                               env=env, cwd=out, check=True, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
                seconds = time.monotonic() - started
                assert len(os.listdir(out)) == args.photos, len(os.listdir(out))
                shutil.rmtree(out)
                return seconds
            if round_number % 2 == 0:
                a, b = picferry(), gphoto2()
            else:
                b, a = gphoto2(), picferry()
            ours.append(a)
            theirs.append(b)
            ratios.append(a / b)
        before = len(host_log(bus))
        seconds, events = run_phase(args.binary, dict(env, XDG_CACHE_HOME=os.path.join(
            work, "usb-cache")))
        served = [entry for entry in host_log(bus)[before:]
                  if entry[1] in ("getthumb", "partial")]
        log = host_log(bus)
        first = [entry for entry in log[:before] if entry[1] in ("getthumb", "partial")]
    finally:
        bus.close()
    print("### Emulated USB camera, %d JPEGs with EXIF thumbnails, %d rounds\n" % (
        args.photos, args.rounds))
    print("| | median | rounds |")
    print("|---|---|---|")
    print("| picferry's thumbnail phase (last `item` to exit) | %.2f s | %s |" % (
        statistics.median(ours), ", ".join("%.2f" % s for s in ours)))
    print("| `gphoto2 --get-all-thumbnails` (whole process) | %.2f s | %s |" % (
        statistics.median(theirs), ", ".join("%.2f" % s for s in theirs)))
    print("| picferry / gphoto2 | %.2f | %s |" % (
        statistics.median(ratios), ", ".join("%.2f" % r for r in ratios)))
    per_run = sum(entry[2][1] for entry in first) / args.rounds / args.photos
    print("\nDevice bytes per photo in a first run (GetThumb and partial reads): %.0f."
          " From the cache: %.2f s, %d device reads." % (per_run, seconds, len(served)))
    print()


def main():
    if os.environ.get("PICFERRY_E2E_NAMESPACE") != "1":
        os.environ["PICFERRY_E2E_NAMESPACE"] = "1"
        os.execvp("unshare", ["unshare", "-m", "--propagation", "private", sys.executable,
                              os.path.abspath(__file__), *sys.argv[1:]])
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--libdir", required=True)
    parser.add_argument("--photos", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--latency", type=float, default=0.001)
    parser.add_argument("--link", type=float, default=35e6)
    parser.add_argument("--only", choices=("phone", "usb"), help="run one of the two")
    parser.add_argument("--scratch", default="/var/tmp",
                        help="where the photos, caches and the tool's output go (/dev/shm: "
                             "no disk's file creation in the times)")
    args = parser.parse_args()
    args.binary = os.path.abspath(args.binary)
    work = tempfile.mkdtemp(prefix="picferry-thumbnail-bench.", dir=args.scratch)
    try:
        jpeg, heic = camera_jpeg(work), iphone_heic(work)
        print("Photos: JPEG %d bytes, HEIC %d bytes.\n" % (os.path.getsize(jpeg),
                                                            os.path.getsize(heic)))
        if args.only != "usb":
            phone_bench(args, work, jpeg, heic)
        if args.only != "phone":
            usb_bench(args, work, jpeg)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
