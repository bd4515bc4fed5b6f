"""What the import record costs: recording during the small-file import, and deciding
--new-only over a catalogue whose files are all recorded.

Usage (root, in a private mount namespace: `unshare -m --propagation private`):
  record_bench.py --binary PICFERRY --out RESULT.md [--rounds N] [--quick]

The camera is a tmpfs with DCIM at its root (picferry reads it as mounted storage); the
destinations and the record (XDG_STATE_HOME) live under /var/tmp, on the machine's disk.

1. Recording: 4,000 files of 10 KiB in 8 folders (400 with --quick), picferry session's
   copy phase (the import command, sent at "detected", to "done"), with a record and
   without one, alternating within each round (the first of the two turns by round). With:
   a fresh state folder, so each run creates its record and writes every file's entry
   (checked afterwards: one row per file). Without: XDG_STATE_HOME under a regular file,
   so the record cannot be written and recording ends at the first file. Before every run:
   sync, drop caches. The cost is the median of per-round ratios, with over without.
2. Deciding --new-only: 100,000 empty files in 100 folders (2,000 with --quick), all
   recorded by one import beforehand (checked: one row per file). Per round: picferry
   session's copy phase with {"newOnly": true} (every file skipped: the record read, each
   file decided, 100,000 progress events written), and, alternating, the whole processes
   `picferry detect` and `picferry import --new-only`, whose difference is what deciding
   costs beyond the listing.
"""

import argparse
import json
import os
import shutil
import sqlite3
import statistics
import subprocess
import tempfile
import time

KIB = 1 << 10
MIB = 1 << 20


class Bench:
    def __init__(self, args):
        self.binary = os.path.abspath(args.binary)
        self.rounds = args.rounds
        self.quick = args.quick
        self.work = tempfile.mkdtemp(prefix="picferry-record-bench.", dir="/var/tmp")
        self.camera = os.path.join(self.work, "camera")
        os.mkdir(self.camera)
        self.failures = []

    def close(self):
        subprocess.run(["umount", self.camera], check=False)
        shutil.rmtree(self.work, ignore_errors=True)

    def make_camera(self, folders, per_folder, size):
        subprocess.run(["umount", self.camera], check=False, stderr=subprocess.DEVNULL)
        room = folders * per_folder * (size + 4 * KIB) + 64 * MIB
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d" % room, "picferry-bench",
                        self.camera], check=True)
        block = os.urandom(size)
        for folder in range(folders):
            path = os.path.join(self.camera, "DCIM", "%03dBENCH" % (100 + folder))
            os.makedirs(path)
            for index in range(per_folder):
                name = os.path.join(path, "IMG_%06d.JPG" % (folder * per_folder + index))
                with open(name, "wb") as out:
                    out.write(block)
        return folders * per_folder

    def fresh(self, name):
        path = os.path.join(self.work, name)
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
        return path

    def env(self, state):
        home = self.fresh("home")
        return dict(os.environ, HOME=home, XDG_STATE_HOME=state, LC_ALL="C")

    @staticmethod
    def settle():
        os.sync()
        with open("/proc/sys/vm/drop_caches", "w") as caches:
            caches.write("3\n")

    def check(self, ok, what):
        if not ok:
            self.failures.append(what)
        return ok

    def session_copy_phase(self, state, command):
        """Seconds from the import command, sent at "detected", to "done"; "done"; and the
        CPU seconds (user and system) of the whole process."""
        self.settle()
        process = subprocess.Popen([self.binary, "session"], env=self.env(state),
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL)
        started = None
        last = None
        for line in process.stdout:
            if line.startswith(b'{"type":"progress"'):
                continue  # not parsed: 100,000 of them would cost this reader a second
            event = json.loads(line)
            if event["type"] == "detected":
                started = time.monotonic()
                process.stdin.write(json.dumps(command).encode() + b"\n")
                process.stdin.flush()
            elif event["type"] in ("done", "error"):
                last = event
                break
        ended = time.monotonic()
        process.stdin.close()
        _, status, usage = os.wait4(process.pid, 0)  # its CPU time, which wait() drops
        process.returncode = os.waitstatus_to_exitcode(status)
        process.stdout.close()
        cpu = usage.ru_utime + usage.ru_stime
        return (ended - started if started else float("nan")), last, cpu

    def whole(self, argv, state):
        """Seconds of the whole process, and its last event."""
        self.settle()
        started = time.monotonic()
        result = subprocess.run([self.binary, *argv], env=self.env(state),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, timeout=900)
        seconds = time.monotonic() - started
        lines = result.stdout.splitlines()
        return seconds, (json.loads(lines[-1]) if lines else None)

    @staticmethod
    def rows(state):
        record = os.path.join(state, "picferry", "imported.sqlite")
        with sqlite3.connect("file:%s?mode=ro" % record, uri=True) as db:
            return db.execute("SELECT count(*) FROM imported").fetchone()[0]

    def recording(self):
        count = self.make_camera(8, 50 if self.quick else 500, 10 * KIB)
        blocked = os.path.join(self.work, "not-a-folder")
        with open(blocked, "w") as out:
            out.write("a file where the state folder would be\n")
        times = {"with": [], "without": []}
        cpus = {"with": [], "without": []}
        ratios = []
        for round_ in range(self.rounds):
            order = ["with", "without"] if round_ % 2 == 0 else ["without", "with"]
            this = {}
            for kind in order:
                # The same folders made in the same order for both: ext4 places a new
                # folder's files by where its folders were made, and skips inodes freed
                # moments ago, so that a folder more or less before `dest` changed the
                # copy phase by 10 to 20%.
                state = self.fresh("state")
                if kind == "without":
                    state = os.path.join(blocked, "s")
                dest = self.fresh("dest")
                seconds, done, cpu = self.session_copy_phase(state,
                                                             {"cmd": "import", "dest": dest})
                ok = self.check(done and done.get("downloaded") == count,
                                "recording %s, round %d: %s" % (kind, round_ + 1, done))
                if kind == "with":
                    recorded = self.rows(state)
                    ok = self.check(recorded == count, "round %d recorded %d of %d files"
                                    % (round_ + 1, recorded, count)) and ok
                if ok:
                    times[kind].append(seconds)
                    cpus[kind].append(cpu)
                    this[kind] = seconds
            if len(this) == 2:
                ratios.append(this["with"] / this["without"])
        return count, times, cpus, ratios

    def deciding(self):
        count = self.make_camera(10 if self.quick else 100, 200 if self.quick else 1000, 0)
        state = self.fresh("state")
        dest = self.fresh("dest")
        seconds, done = self.whole(["import", "--dest", dest], state)
        self.check(done and done.get("downloaded") == count, "recording all: %s" % done)
        self.check(self.rows(state) == count, "not every file recorded")
        phases, detects, imports, differences = [], [], [], []
        for round_ in range(self.rounds):
            seconds, done, _ = self.session_copy_phase(
                state, {"cmd": "import", "dest": dest, "newOnly": True})
            if self.check(done and done.get("skipped") == count and done.get("downloaded") == 0,
                          "new-only session, round %d: %s" % (round_ + 1, done)):
                phases.append(seconds)
            this = {}
            order = ["detect", "import"] if round_ % 2 == 0 else ["import", "detect"]
            for kind in order:
                if kind == "detect":
                    seconds, last = self.whole(["detect"], state)
                    ok = last and last.get("itemCount") == count
                else:
                    seconds, last = self.whole(["import", "--dest", dest, "--new-only"], state)
                    ok = last and last.get("skipped") == count
                if self.check(ok, "%s, round %d: %s" % (kind, round_ + 1, last)):
                    this[kind] = seconds
            if len(this) == 2:
                detects.append(this["detect"])
                imports.append(this["import"])
                differences.append(this["import"] - this["detect"])
        return count, phases, detects, imports, differences


def median(values):
    return statistics.median(values) if values else float("nan")


def report(bench, recording, deciding, command):
    count, times, cpus, ratios = recording
    lines = ["## The import record", "",
             "Command: `%s`; %d rounds, alternating; camera a tmpfs, destination and record "
             "under /var/tmp (the machine's disk). Method in bench/README.md." % (command,
                                                                                 bench.rounds),
             "",
             "| %d files of 10 KiB: session copy phase | median s | median CPU s "
             "(whole process) | good runs |" % count,
             "|---|---:|---:|---:|",
             "| with the record (each file recorded) | %.3f | %.3f | %d/%d |"
             % (median(times["with"]), median(cpus["with"]), len(times["with"]), bench.rounds),
             "| without (record unwritable) | %.3f | %.3f | %d/%d |"
             % (median(times["without"]), median(cpus["without"]), len(times["without"]),
                bench.rounds),
             "",
             "Recording costs %+.1f%% of the import (median of per-round ratios %.3f; "
             "per round: %s). Target: at most 3%%." % (
                 (median(ratios) - 1) * 100, median(ratios),
                 ", ".join("%.3f" % r for r in ratios)),
             ""]
    count, phases, detects, imports, differences = deciding
    lines += ["| %d files, all recorded | median s | good runs |" % count,
              "|---|---:|---:|",
              "| session copy phase with newOnly (all skipped) | %.3f | %d/%d |"
              % (median(phases), len(phases), bench.rounds),
              "| `picferry detect` (whole process) | %.3f | %d/%d |"
              % (median(detects), len(detects), bench.rounds),
              "| `picferry import --new-only` (whole process) | %.3f | %d/%d |"
              % (median(imports), len(imports), bench.rounds),
              "",
              "Deciding --new-only beyond the listing: %.3f s (session copy phase); "
              "`import --new-only` minus `detect` in the same round: median %.3f s (%s). "
              "Target: under 1 s." % (median(phases), median(differences),
                                       ", ".join("%.3f" % d for d in differences)),
              ""]
    if bench.failures:
        lines += ["Failed checks (left out): " + "; ".join(bench.failures), ""]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--command", default="bench/record_bench.py")
    args = parser.parse_args()
    bench = Bench(args)
    try:
        recording = bench.recording()
        deciding = bench.deciding()
    finally:
        bench.close()
    text = report(bench, recording, deciding, args.command)
    with open(args.out, "w") as out:
        out.write(text)
    print(text)
    return 1 if bench.failures else 0


if __name__ == "__main__":
    raise SystemExit(main())
