"""picferry against gphoto2 on the same emulated USB camera (tests/device/usb).

Usage (root, in a private mount namespace: `unshare -m --propagation private`):
  usb_bench.py --binary PICFERRY --libdir DIR --out RESULT.md [--rounds N] [--objects N]
DIR holds the stand-in libusb-1.0.so.0 (picferry_fake_libusb). Two devices: one of
--objects small generated objects in folders of 100 (`picferry detect` against
`gphoto2 --list-files`), one of 20 generated files of 8 MiB (`picferry import` against
`gphoto2 --get-all-files`). Within each round both tools run on the same device, the one
that goes first alternating by round. Ratios are medians of per-round ratios; the table
goes to RESULT.md.
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

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "device", "usb"))
from usb_emulator import MIB, UsbBus  # noqa: E402

T0 = 1_600_000_000
COPY_FILES = 20
COPY_SIZE = 8 * MIB


def timed(argv, env, cwd=None):
    """Runs argv to its end: (seconds, status, standard output)."""
    started = time.monotonic()
    result = subprocess.run(argv, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                            capture_output=True, timeout=600)
    return time.monotonic() - started, result.returncode, result.stdout


class Bench:
    def __init__(self, args):
        self.binary = os.path.abspath(args.binary)
        self.bus = UsbBus(os.path.abspath(args.libdir))
        self.work = tempfile.mkdtemp(prefix="picferry-usb-bench.", dir="/var/tmp")
        self.env = self.bus.env()
        self.objects = args.objects
        self.failures = []
        listed = [("DCIM/%03dCANON/IMG_%05d.JPG" % (100 + i // 100, i), 1000 + i % 500, T0 + i)
                  for i in range(args.objects)]
        self.listing = self.bus.plug("camera", generated=listed)
        copied = [("DCIM/100CANON/MVI_%04d.MOV" % i, COPY_SIZE, T0 + i)
                  for i in range(COPY_FILES)]
        self.copying = self.bus.plug("camera", generated=copied)

    def close(self):
        self.bus.close()
        shutil.rmtree(self.work, ignore_errors=True)

    def fresh(self, name):
        path = os.path.join(self.work, name)
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
        return path

    def check(self, ok, what):
        if not ok:
            self.failures.append(what)
        return ok

    def only(self, device):
        """Unplugs every other device, so that each tool sees just `device`."""
        for other in (self.listing, self.copying):
            if other is not device and other.plugged:
                other.unplug()
        if not device.plugged:
            device.plug()

    def picferry_detect(self):
        seconds, status, out = timed([self.binary, "detect"], self.env)
        events = [json.loads(line) for line in out.splitlines()]
        ok = status == 0 and events and events[-1].get("itemCount") == self.objects
        return seconds if self.check(ok, "picferry detect: %d %s" % (status, events[-1:])) else None

    def gphoto2_list(self):
        seconds, status, out = timed(["gphoto2", "--port", self.listing.port, "--list-files"],
                                     self.env)
        ok = status == 0 and out.count(b"IMG_") >= self.objects
        return seconds if self.check(ok, "gphoto2 --list-files: status %d" % status) else None

    def picferry_import(self):
        dest = self.fresh("picferry")
        seconds, status, out = timed([self.binary, "import", "--dest", dest], self.env)
        events = [json.loads(line) for line in out.splitlines()]
        ok = status == 0 and events and events[-1].get("downloaded") == COPY_FILES
        return seconds if self.check(ok, "picferry import: %d %s" % (status, events[-1:])) else None

    def gphoto2_get_all(self):
        dest = self.fresh("gphoto2")
        seconds, status, _ = timed(["gphoto2", "--port", self.copying.port, "--get-all-files"],
                                   self.env, cwd=dest)
        ok = status == 0 and len(os.listdir(dest)) == COPY_FILES
        return seconds if self.check(ok, "gphoto2 --get-all-files: status %d" % status) else None

    def rounds(self, count):
        """[(detect s, list s, import s, get-all s)] per round; None for a failed run."""
        results = []
        for index in range(count):
            pairs = [(self.listing, self.picferry_detect, self.gphoto2_list),
                     (self.copying, self.picferry_import, self.gphoto2_get_all)]
            row = []
            for device, ours, theirs in pairs:
                self.only(device)
                first, second = (ours, theirs) if index % 2 == 0 else (theirs, ours)
                a, b = first(), second()
                row += [a, b] if index % 2 == 0 else [b, a]
            print("round %d: %s" % (index + 1, row), flush=True)
            results.append(row)
        return results


def median_or_none(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def ratio_median(rows, top, bottom):
    return median_or_none([row[top] / row[bottom] for row in rows
                           if row[top] is not None and row[bottom] is not None])


def fmt(value, pattern):
    return "-" if value is None else pattern % value


def report(rows, args, failures):
    copied_mb = COPY_FILES * COPY_SIZE / 1e6
    detect, listing, ours, theirs = (median_or_none([r[i] for r in rows]) for i in range(4))
    lines = [
        "## USB route: picferry against gphoto2 on one emulated camera",
        "",
        "`bench/usb_bench.py`, %d rounds, Debian's libgphoto2 over the stand-in libusb "
        "(tests/device/usb); tools alternate which goes first, ratios are medians of "
        "per-round ratios." % len(rows),
        "",
        "| case | picferry | gphoto2 | gphoto2 / picferry |",
        "|---|---|---|---|",
        "| list %d objects (100 per folder): `detect` / `--list-files` | %s | %s | %s |" % (
            args.objects, fmt(detect, "%.2f s"), fmt(listing, "%.2f s"),
            fmt(ratio_median(rows, 1, 0), "%.2f")),
        "| copy %d x %d MiB: `import` / `--get-all-files` | %s | %s | %s |" % (
            COPY_FILES, COPY_SIZE // MIB,
            fmt(ours and copied_mb / ours, "%.0f MB/s"),
            fmt(theirs and copied_mb / theirs, "%.0f MB/s"),
            fmt(ratio_median(rows, 3, 2), "%.2f")),
        "",
        "A ratio above 1: picferry is faster (times: gphoto2's over picferry's).",
    ]
    if failures:
        lines += ["", "Failed runs (left out): " + "; ".join(failures)]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--libdir", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--objects", type=int, default=10_000)
    args = parser.parse_args()
    bench = Bench(args)
    try:
        rows = bench.rounds(args.rounds)
    finally:
        bench.close()
    with open(args.out, "w", encoding="utf-8") as out:
        out.write(report(rows, args, bench.failures))
    print(open(args.out, encoding="utf-8").read())
    return 1 if bench.failures else 0


if __name__ == "__main__":
    sys.exit(main())
