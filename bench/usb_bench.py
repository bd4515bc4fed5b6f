"""picferry against gphoto2 on the same emulated USB camera (tests/device/usb).

Usage (root, in a private mount namespace: `unshare -m --propagation private`):
  usb_bench.py --binary PICFERRY --libdir DIR --out RESULT.md [--rounds N] [--objects N]
DIR holds the stand-in libusb-1.0.so.0 (picferry_fake_libusb). Two devices: one of
--objects small generated objects in folders of 100 (`picferry detect` against
`gphoto2 --list-files`), one of 20 generated files of 8 MiB (picferry's copy phase: `picferry
session`, from the `import` command sent on "detected" to "done", against the whole
`gphoto2 --get-all-files` process), with wall time and CPU seconds. Within each round both
tools run on the same device, the one that goes first alternating by round. Ratios are
medians of per-round ratios; the tables go to RESULT.md.
"""

import argparse
import json
import os
import resource
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


class Copy:
    """One copy run: wall seconds, CPU seconds (user + system), and the wall seconds of a
    `sync` right after it."""

    def __init__(self, seconds, cpu, sync):
        self.seconds, self.cpu, self.sync = seconds, cpu, sync


def children_cpu():
    """CPU seconds of every child this process has waited for."""
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def process_cpu(pid):
    """CPU seconds the running process `pid` has used so far, all its threads."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def synced():
    """Flushes what the last run left dirty: seconds it took."""
    started = time.monotonic()
    os.sync()
    return time.monotonic() - started


def timed(argv, env, cwd=None):
    """Runs argv to its end: (seconds, status, standard output, CPU seconds)."""
    cpu = children_cpu()
    started = time.monotonic()
    result = subprocess.run(argv, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                            capture_output=True, timeout=600)
    return (time.monotonic() - started, result.returncode, result.stdout,
            children_cpu() - cpu)


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
        seconds, status, out, _ = timed([self.binary, "detect"], self.env)
        events = [json.loads(line) for line in out.splitlines()]
        ok = status == 0 and events and events[-1].get("itemCount") == self.objects
        return seconds if self.check(ok, "picferry detect: %d %s" % (status, events[-1:])) else None

    def gphoto2_list(self):
        seconds, status, out, _ = timed(["gphoto2", "--port", self.listing.port,
                                          "--list-files"], self.env)
        ok = status == 0 and out.count(b"IMG_") >= self.objects
        return seconds if self.check(ok, "gphoto2 --list-files: status %d" % status) else None

    def picferry_copy(self):
        """The copy phase of `picferry session`: from the import command, sent on the
        `detected` event, to the `done` event. Its CPU time is the process's at its end
        less what it had used at `detected`."""
        dest = self.fresh("picferry")
        command = json.dumps({"cmd": "import", "dest": dest}) + "\n"
        synced()
        cpu = children_cpu()
        process = subprocess.Popen([self.binary, "session"], env=self.env,
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL)
        started = ended = cpu_at_start = None
        last = None
        for line in process.stdout:
            event = json.loads(line)
            if event.get("type") == "detected":
                started = time.monotonic()
                cpu_at_start = process_cpu(process.pid)
                process.stdin.write(command.encode())
                process.stdin.flush()
            elif event.get("type") in ("done", "error"):
                ended = time.monotonic()
                last = event
                break
        process.stdin.close()
        status = process.wait(timeout=600)
        process.stdout.close()
        cpu = children_cpu() - cpu
        sync = synced()
        ok = (status == 0 and started is not None and ended is not None
              and last.get("downloaded") == COPY_FILES)
        if not self.check(ok, "picferry session: %d %s" % (status, last)):
            return None
        return Copy(ended - started, cpu - cpu_at_start, sync)

    def gphoto2_get_all(self):
        dest = self.fresh("gphoto2")
        synced()
        seconds, status, _, cpu = timed(["gphoto2", "--port", self.copying.port,
                                         "--get-all-files"], self.env, cwd=dest)
        sync = synced()
        ok = status == 0 and len(os.listdir(dest)) == COPY_FILES
        if not self.check(ok, "gphoto2 --get-all-files: status %d" % status):
            return None
        return Copy(seconds, cpu, sync)

    def rounds(self, count):
        """[(detect s, list s, copy, get-all)] per round (Copy); None for a failed run."""
        results = []
        for index in range(count):
            pairs = [(self.listing, self.picferry_detect, self.gphoto2_list),
                     (self.copying, self.picferry_copy, self.gphoto2_get_all)]
            row = []
            for device, ours, theirs in pairs:
                self.only(device)
                first, second = (ours, theirs) if index % 2 == 0 else (theirs, ours)
                a, b = first(), second()
                row += [a, b] if index % 2 == 0 else [b, a]
            print("round %d: %s" % (index + 1, [vars(r) if isinstance(r, Copy) else r
                                                 for r in row]), flush=True)
            results.append(row)
        return results


def median_or_none(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def ratio_median(rows, top, bottom, value=lambda run: run):
    return median_or_none([value(row[top]) / value(row[bottom]) for row in rows
                           if row[top] is not None and row[bottom] is not None])


def fmt(value, pattern):
    return "-" if value is None else pattern % value


# The copy phase may take at most this much more than gphoto2, in wall time and CPU.
COPY_TARGET = 1.10


def report(rows, args, failures):
    copied_mb = COPY_FILES * COPY_SIZE / 1e6
    detect, listing = (median_or_none([r[i] for r in rows]) for i in range(2))

    def copy_median(index, value):
        return median_or_none([value(r[index]) for r in rows if r[index] is not None])

    def copy_row(what, value, pattern, ratio=True):
        return "| %s | %s | %s | %s |" % (
            what, fmt(copy_median(2, value), pattern), fmt(copy_median(3, value), pattern),
            fmt(ratio_median(rows, 2, 3, value) if ratio else None, "%.2f"))

    time_ratio = ratio_median(rows, 2, 3, lambda run: run.seconds)
    cpu_ratio = ratio_median(rows, 2, 3, lambda run: run.cpu)
    met = time_ratio is not None and cpu_ratio is not None and max(
        time_ratio, cpu_ratio) <= COPY_TARGET
    lines = [
        "## USB route: picferry against gphoto2 on one emulated camera",
        "",
        "`bench/usb_bench.py`, %d rounds, Debian's libgphoto2 over the stand-in libusb "
        "(tests/device/usb); tools alternate which goes first, ratios are medians of "
        "per-round ratios." % len(rows),
        "",
        "| list %d objects (100 per folder) | picferry `detect` | `gphoto2 --list-files` | "
        "gphoto2 / picferry |" % args.objects,
        "|---|---:|---:|---:|",
        "| wall time | %s | %s | %s |" % (fmt(detect, "%.2f s"), fmt(listing, "%.2f s"),
                                         fmt(ratio_median(rows, 1, 0), "%.2f")),
        "",
        "`detect` holds picferry's 3 s of catalogue quiet; a ratio above 1: picferry is faster.",
        "",
        "| copy %d x %d MiB | picferry `session`: copy phase | `gphoto2 --get-all-files`: "
        "whole process | picferry / gphoto2 |" % (COPY_FILES, COPY_SIZE // MIB),
        "|---|---:|---:|---:|",
        copy_row("wall time", lambda run: run.seconds, "%.3f s"),
        copy_row("throughput", lambda run: copied_mb / run.seconds, "%.0f MB/s", ratio=False),
        copy_row("CPU (user + system)", lambda run: run.cpu, "%.3f s"),
        copy_row("CPU per MB", lambda run: 1000 * run.cpu / copied_mb, "%.2f ms", ratio=False),
        copy_row("`sync` right after", lambda run: run.sync, "%.3f s", ratio=False),
        "",
        "Target: picferry's copy phase within %d%% of `gphoto2 --get-all-files`, in wall time "
        "and in CPU per MB: **%s** (picferry / gphoto2: time %s, CPU %s). picferry flushes "
        "every file before counting it; gphoto2 leaves its files to the `sync` after it." % (
            round((COPY_TARGET - 1) * 100), "met" if met else "NOT met",
            fmt(time_ratio, "%.2f"), fmt(cpu_ratio, "%.2f")),
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
