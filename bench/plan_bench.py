#!/usr/bin/env python3
"""Read-ahead against a paced link: how long a part of the catalogue takes to copy.

Usage: bench/plan_bench.py BINARY_A BINARY_B [--rounds N] [--dest-on tmpfs|disk]
                           [--afc-read PATH]

The tests' fake phone (tests/device/afc/fake_phone.py: usbmuxd, lockdownd and AFC on a Unix
socket, in this process) serves 40 files of 2 MB, its file reads paced at 20 MB/s as over a
cable: each file is 0.1 s of link. Four imports of 10 files each, through `picferry
session`:

  first-10    "only": the first 10 paths of the catalogue
  every-4th   "only": the 4th, 8th, ... 40th paths
  every-4th-from-1
              "only": the 1st, 5th, ... 37th paths
  new-only    "newOnly": true, the import record holding the other 30 files (imported
              beforehand with "only" into a scratch folder under the same HOME and
              XDG_STATE_HOME, so that the record is the one the measured run reads)

The time is the copy phase: from the import command, written right after the `detected`
event, to the `done` event. The link floor is 10 files x 0.1 s = 1.0 s; the tables give each
binary's time over the floor. Each round runs every case with both binaries, the binary that
goes first alternating from round to round; medians over rounds, and the median of the
per-round ratios B / A. The phone notes when each file is opened and each read asked for
and answered, which splits the copy phase into: start (the command to the first file's
opening), link (the first read asked for to the last one answered) and end (the last answer
to `done`), with the link's idle time within it (no read pending: the link had nothing to
carry); and which files were read at all, with the bytes served (asked for or not).
Every run is checked: `done` says 10 downloaded (and 30 skipped for new-only), and the
destination holds exactly those 10 files, byte for byte.

With --afc-read (bench/afc_read.c built, as bench/run.sh builds it): a second fake phone,
paced alike, holds only the first 10 files, and once per round afc_read (libimobiledevice
alone: one AFC read of 1 MiB at a time, each file flushed and named) copies all of them; its
own time over the same floor is what a reader that asks for one chunk at a time gets from
this link, the fake phone's turnaround between reads included.

No mounts, no root: the phone's folder and the destinations are under /dev/shm by default
(--dest-on disk: under /var/tmp), so that the link is what limits the copy.
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
sys.path.insert(0, os.path.join(HERE, "..", "tests", "device", "afc"))

from fake_phone import AFC_FILE_OPEN, AFC_FILE_READ, FakePhone  # noqa: E402
from process_output import read_line  # noqa: E402

MB = 1000 * 1000
FILES = 40
FILE_BYTES = 2 * MB
LINK = 20 * MB  # bytes per second
WANTED = 10
FLOOR = WANTED * FILE_BYTES / LINK  # seconds
CASES = ("first-10", "every-4th", "every-4th-from-1", "new-only")


def traced(phone):
    """A list the phone appends to: ("open", time, path) as a file is opened, ("read", time
    asked, time answered) for each read."""
    trace = []
    answer = phone._afc_reply

    def reply(operation, data, handles):
        asked = time.monotonic()
        result = answer(operation, data, handles)
        if operation == AFC_FILE_OPEN:
            trace.append(("open", asked, data[8:].split(b"\0", 1)[0].decode()))
        elif operation == AFC_FILE_READ:
            trace.append(("read", asked, time.monotonic()))
        return result

    phone._afc_reply = reply
    return trace


def link_idle(trace):
    """Seconds between the first read asked for and the last answered with no read pending:
    the link had nothing to carry."""
    reads = sorted((asked, answered) for what, asked, answered in trace if what == "read")
    idle, busy_until = 0.0, None
    for asked, answered in reads:
        if busy_until is not None and asked > busy_until:
            idle += asked - busy_until
        busy_until = answered if busy_until is None else max(busy_until, answered)
    return idle


class Bench:
    def __init__(self, binaries, rounds, dest_on, afc_read=None):
        self.binaries = binaries
        self.afc_read = afc_read
        self.rounds = rounds
        base = "/dev/shm" if dest_on == "tmpfs" else "/var/tmp"
        self.work = tempfile.mkdtemp(prefix="picferry-plan.", dir=base)
        self.phone_root = os.path.join(self.work, "phone")
        folder = os.path.join(self.phone_root, "DCIM", "100APPLE")
        os.makedirs(folder)
        t0 = 1_600_000_000
        for i in range(1, FILES + 1):
            path = os.path.join(folder, f"IMG_{i:04d}.JPG")
            with open(path, "wb") as out:
                out.write(os.urandom(FILE_BYTES))
            os.utime(path, (t0 + i, t0 + i))
        self.phone10 = None
        if afc_read:
            root10 = os.path.join(self.work, "phone10")
            os.makedirs(os.path.join(root10, "DCIM"))
            shutil.copytree(folder, os.path.join(root10, "DCIM", "100APPLE"),
                            ignore=lambda _, names: [n for n in names
                                                     if n > f"IMG_{WANTED:04d}.JPG"])
            self.socket10 = os.path.join(self.work, "usbmuxd10")
            self.phone10 = FakePhone(self.socket10, root10, bytes_per_second=LINK)
            self.phone10.start()
            self.trace10 = traced(self.phone10)
        self.socket = os.path.join(self.work, "usbmuxd")
        self.phone = FakePhone(self.socket, self.phone_root, bytes_per_second=LINK)
        self.phone.start()
        self.trace = traced(self.phone)
        self.env = dict(os.environ, USBMUXD_SOCKET_ADDRESS="UNIX:" + self.socket,
                        LC_ALL="C", LANG="C")
        self.env.pop("LANGUAGE", None)

    def close(self):
        self.phone.stop()
        if self.phone10:
            self.phone10.stop()
        shutil.rmtree(self.work, ignore_errors=True)

    def home(self, name):
        home = os.path.join(self.work, "home-" + name)
        env = dict(self.env, HOME=home, XDG_STATE_HOME=os.path.join(home, "state"))
        return home, env

    def catalogue(self, binary):
        """The items' paths in catalogue order, from `detect --items`."""
        home, env = self.home("catalogue")
        os.makedirs(home, exist_ok=True)
        out = subprocess.run([binary, "detect", "--items"], env=env, capture_output=True,
                             stdin=subprocess.DEVNULL, timeout=120, check=True).stdout
        events = [json.loads(line) for line in out.splitlines()]
        return [event["path"] for event in events if event["type"] == "item"]

    def session(self, binary, env, command, timeout=120):
        """Runs one session import; returns (copy-phase seconds, the done event, bytes the
        phone served from the command to done, (start, link, end) seconds, the paths
        opened)."""
        process = subprocess.Popen([binary, "session"], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
        try:
            detected = read_line(process, timeout)
            if not detected or json.loads(detected)["type"] != "detected":
                raise RuntimeError(f"expected detected, got {detected!r}")
            served = self.phone.bytes_served
            del self.trace[:]
            start = time.monotonic()
            process.stdin.write(json.dumps(command).encode() + b"\n")
            process.stdin.flush()
            while True:
                line = read_line(process, timeout)
                if line is None:
                    raise RuntimeError("the session ended without done")
                event = json.loads(line)
                if event["type"] == "done":
                    break
                if event["type"] == "error":
                    raise RuntimeError(f"error event: {event}")
            end = time.monotonic()
            seconds = end - start
            served = self.phone.bytes_served - served
            trace = list(self.trace)
            process.stdin.close()
            process.wait(timeout=30)
            opens = [(t, path) for what, t, path in trace if what == "open"]
            reads = [(asked, answered) for what, asked, answered in trace if what == "read"]
            split = (None, None, None, None)
            if opens and reads:
                split = (opens[0][0] - start, max(a for _, a in reads) - reads[0][0],
                         end - max(a for _, a in reads), link_idle(trace))
            return seconds, event, served, split, [path for _, path in opens]
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()

    def run_afc_read(self):
        """afc_read's own seconds for the 10 files of the second phone, checked."""
        dest = os.path.join(self.work, "dest-afc_read")
        shutil.rmtree(dest, ignore_errors=True)
        os.makedirs(dest)
        os.sync()
        del self.trace10[:]
        env = dict(self.env, USBMUXD_SOCKET_ADDRESS="UNIX:" + self.socket10,
                   HOME=os.path.join(self.work, "home-afc_read"))
        out = subprocess.run([self.afc_read, dest], env=env, capture_output=True,
                             stdin=subprocess.DEVNULL, timeout=120)
        result = json.loads(out.stdout) if out.returncode == 0 else {}
        names = sorted(os.listdir(dest))
        shutil.rmtree(dest, ignore_errors=True)
        if result.get("files") != WANTED or result.get("bytes") != WANTED * FILE_BYTES or \
                len(names) != WANTED:
            raise RuntimeError(f"afc_read: status {out.returncode}, {out.stdout!r}, "
                               f"{out.stderr!r}, {names}")
        return result["seconds"], link_idle(self.trace10)

    def check(self, dest, event, wanted_paths, skipped):
        names = sorted(os.path.basename(path) for path in wanted_paths)
        problems = []
        if (event.get("downloaded"), event.get("skipped"), event.get("unavailable")) != \
                (len(names), skipped, 0):
            problems.append(f"done says {event}")
        present = sorted(os.listdir(dest)) if os.path.isdir(dest) else []
        if present != names:
            problems.append(f"destination holds {present}")
        else:
            for path in wanted_paths:
                with open(os.path.join(dest, os.path.basename(path)), "rb") as copy, \
                        open(os.path.join(self.phone_root, path.lstrip("/")), "rb") as original:
                    if copy.read() != original.read():
                        problems.append(f"{path}: other bytes")
        return problems

    def run(self):
        paths = self.catalogue(self.binaries[1])
        if len(paths) != FILES:
            raise SystemExit(f"detect --items lists {len(paths)} files, not {FILES}")
        picks = {"first-10": paths[:WANTED], "every-4th": paths[3::4],
                 "every-4th-from-1": paths[0::4]}
        picks["new-only"] = picks["every-4th"]
        commands = {case: {"only": picks[case]} for case in picks}
        commands["new-only"] = {"newOnly": True}
        # The record of the other 30, made once per binary by that binary and put back
        # before each of its new-only runs.
        records = {}
        for side, binary in zip("AB", self.binaries):
            home, env = self.home(side)
            shutil.rmtree(home, ignore_errors=True)
            os.makedirs(home)
            others = [p for p in paths if p not in picks["new-only"]]
            scratch = os.path.join(self.work, "scratch-" + side)
            seconds, event, *_ = self.session(binary, env, {"cmd": "import", "dest": scratch,
                                                            "only": others})
            problems = self.check(scratch, event, others, 0)
            if problems:
                raise SystemExit(f"{side}: preparing the record: {problems}")
            shutil.rmtree(scratch)
            state = os.path.join(home, "state")
            record = os.path.join(state, "picferry", "imported.sqlite")
            if not os.path.isfile(record):
                raise SystemExit(f"{side}: no import record at {record}")
            records[side] = os.path.join(self.work, "record-" + side)
            shutil.copytree(state, records[side])
            print(f"{side}: record of {len(others)} files prepared ({seconds:.2f} s)", flush=True)

        results = {(case, side): [] for case in CASES for side in "AB"}
        served = {(case, side): [] for case in CASES for side in "AB"}
        splits = {(case, side): [] for case in CASES for side in "AB"}
        self.afc_read_seconds = []
        failures = []
        for round_ in range(1, self.rounds + 1):
            order = "AB" if round_ % 2 else "BA"
            for case in CASES:
                for side in order:
                    binary = self.binaries["AB".index(side)]
                    home, env = self.home(side)
                    state = os.path.join(home, "state")
                    shutil.rmtree(state, ignore_errors=True)
                    if case == "new-only":
                        shutil.copytree(records[side], state)
                    dest = os.path.join(self.work, "dest")
                    shutil.rmtree(dest, ignore_errors=True)
                    os.sync()
                    command = dict({"cmd": "import", "dest": dest}, **commands[case])
                    seconds, event, nbytes, split, opened = self.session(binary, env, command)
                    problems = self.check(dest, event, picks[case],
                                          FILES - WANTED if case == "new-only" else 0)
                    shutil.rmtree(dest, ignore_errors=True)
                    status = "ok" if not problems else "FAILED: " + "; ".join(problems)
                    extra = sorted(set(os.path.basename(p) for p in opened) -
                                   set(os.path.basename(p) for p in picks[case]))
                    parts = " ".join("-" if x is None else f"{x:.3f}" for x in split)
                    print(f"round {round_} {case:16s} {side} {seconds:6.3f} s "
                          f"{seconds / FLOOR:5.2f}x floor  served {nbytes / MB:5.1f} MB  "
                          f"start/link/end/idle {parts}  {status}"
                          f"{'  also opened ' + ' '.join(extra) if extra else ''}", flush=True)
                    if problems:
                        failures.append((round_, case, side, problems))
                        continue
                    results[case, side].append((round_, seconds))
                    served[case, side].append(nbytes)
                    if None not in split:
                        splits[case, side].append(split)
            if self.afc_read:
                seconds, idle = self.run_afc_read()
                self.afc_read_seconds.append((seconds, idle))
                print(f"round {round_} afc_read 10 files {seconds:6.3f} s "
                      f"{seconds / FLOOR:5.2f}x floor  link idle {idle:.3f}", flush=True)
        return results, served, splits, failures


def report(binaries, rounds, results, served, splits, failures, afc_read_seconds):
    print()
    print(f"A = {binaries[0]}")
    print(f"B = {binaries[1]}")
    print(f"{FILES} files x {FILE_BYTES // MB} MB, link {LINK // MB} MB/s, "
          f"floor {WANTED} files = {FLOOR:.2f} s; {rounds} rounds; medians")
    print()
    print("| case | A s | A / floor | B s | B / floor | B / A (per round) | "
          "MB served A | MB served B |")
    print("|---|---|---|---|---|---|---|---|")
    for case in CASES:
        a = dict(results[case, "A"])
        b = dict(results[case, "B"])
        if not a or not b:
            print(f"| {case} | no runs |")
            continue
        pairs = [b[r] / a[r] for r in a if r in b]
        ma, mb = statistics.median(a.values()), statistics.median(b.values())
        print(f"| {case} | {ma:.3f} | {ma / FLOOR:.2f}x | {mb:.3f} | {mb / FLOOR:.2f}x | "
              f"{statistics.median(pairs):.2f} | "
              f"{statistics.median(served[case, 'A']) / MB:.1f} | "
              f"{statistics.median(served[case, 'B']) / MB:.1f} |")
    if afc_read_seconds:
        t = statistics.median(t for t, _ in afc_read_seconds)
        idle = statistics.median(i for _, i in afc_read_seconds)
        print(f"\nafc_read, the first 10 files of a 10-file phone: {t:.3f} s, "
              f"{t / FLOOR:.2f}x floor, link idle {idle:.3f} s "
              f"(medians of {len(afc_read_seconds)})")
    print()
    print("Copy phase split (medians, s): start = the command to the first file opened; "
          "link = the first read asked for to the last answered; end = the last answer to done; "
          "idle = within link, no read pending")
    print()
    print("| case | A start | A link | A end | A idle | B start | B link | B end | B idle |")
    print("|---|---|---|---|---|---|---|---|---|")
    for case in CASES:
        cells = []
        for side in "AB":
            rows = splits[case, side]
            cells += [f"{statistics.median(r[i] for r in rows):.3f}" if rows else "-"
                      for i in range(4)]
        print(f"| {case} | " + " | ".join(cells) + " |")
    for failure in failures:
        print("failed:", failure)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("binary_a")
    parser.add_argument("binary_b")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--dest-on", choices=("tmpfs", "disk"), default="tmpfs")
    parser.add_argument("--afc-read", help="bench/afc_read.c built: a reference reader")
    args = parser.parse_args()
    binaries = [os.path.realpath(args.binary_a), os.path.realpath(args.binary_b)]
    bench = Bench(binaries, args.rounds, args.dest_on,
                  args.afc_read and os.path.realpath(args.afc_read))
    try:
        results, served, splits, failures = bench.run()
    finally:
        bench.close()
    report(binaries, args.rounds, results, served, splits, failures, bench.afc_read_seconds)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
