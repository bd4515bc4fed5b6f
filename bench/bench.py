#!/usr/bin/env python3
"""Import throughput and memory: picferry against cp, rsync and gphoto2.

Run through bench/run.sh (root, inside a private mount namespace). Each set of
files is put on a tmpfs with DCIM at its root, which libgphoto2 reports as a
"Mass Storage Camera"; every tool copies the same files into an emptied
destination on disk, the tools taking turns run by run.

Usage: bench.py --binary PICFERRY --work DIR --out RESULTS.md [--quick] [--command TEXT]
"""

import argparse
import glob
import json
import os
import platform
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field

MiB = 1 << 20
GiB = 1 << 30


@dataclass
class FileSet:
    key: str
    title: str
    folders: int
    per_folder: int
    size: int
    ext: str = "JPG"

    @property
    def count(self):
        return self.folders * self.per_folder

    @property
    def bytes(self):
        return self.count * self.size


FULL = [
    FileSet("list100", "100,000 empty files in 100 folders", 100, 1000, 0),
    FileSet("list1", "30,000 empty files in one folder", 1, 30000, 0),
    FileSet("photos", "2,000 files of 3 MiB in 2 folders", 2, 1000, 3 * MiB),
    FileSet("video1", "one 1 GiB video", 1, 1, GiB, "MOV"),
    FileSet("video4", "one 4 GiB video (memory)", 1, 1, 4 * GiB, "MOV"),
    FileSet("small", "20,000 files of 10 KiB in 20 folders", 20, 1000, 10 * 1024),
]
QUICK = [
    FileSet("list100", "2,000 empty files in 10 folders", 10, 200, 0),
    FileSet("list1", "1,000 empty files in one folder", 1, 1000, 0),
    FileSet("photos", "40 files of 3 MiB in 2 folders", 2, 20, 3 * MiB),
    FileSet("video1", "one 64 MiB video", 1, 1, 64 * MiB, "MOV"),
    FileSet("video4", "one 256 MiB video (memory)", 1, 1, 256 * MiB, "MOV"),
    FileSet("small", "400 files of 10 KiB in 4 folders", 4, 100, 10 * 1024),
]

PF_COPY = "picferry session: copy phase"  # the reference of every copy set
PF_IMPORT = "picferry import (whole process)"
PF_DETECT = "picferry detect"


@dataclass
class Run:
    time: float            # seconds, what the row measures
    synced: float          # the same plus a `sync` right after the tool ended
    rss_kib: int           # peak resident set (wait4's ru_maxrss)
    error: str = ""        # why the run does not count, if it does not
    count: int = -1        # files reported or found


@dataclass
class Results:
    fileset: FileSet
    reference: str
    rows: dict = field(default_factory=dict)  # label -> [Run per round]


class Bench:
    def __init__(self, args):
        self.binary = os.path.realpath(args.binary)
        self.work = args.work
        self.camera = os.path.join(self.work, "camera")
        self.dest = os.path.join(self.work, "dest")
        self.rounds = 2 if args.quick else args.runs
        self.sets = QUICK if args.quick else FULL
        self.quick = args.quick
        self.out = args.out
        self.command = args.command
        self.build = args.build
        self.mounted = False
        self.child = None
        self.results = []
        self.can_drop = True
        self.warm_files = self.tool_files()
        self.started = time.strftime("%Y-%m-%d %H:%M:%S %Z")

    # ---- the camera -----------------------------------------------------
    def make_camera(self, fs):
        os.makedirs(self.camera, exist_ok=True)
        size = fs.bytes + fs.count * 4096 + 64 * MiB
        subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "picferry-bench",
                        self.camera], check=True)
        self.mounted = True
        block = bytearray(os.urandom(min(fs.size, 4 * MiB)))
        number = 0
        for f in range(fs.folders):
            folder = os.path.join(self.camera, "DCIM", f"{100 + f:03d}BENCH")
            os.makedirs(folder)
            for _ in range(fs.per_folder):
                number += 1
                prefix = "MOV" if fs.ext == "MOV" else "IMG"
                path = os.path.join(folder, f"{prefix}_{number:06d}.{fs.ext}")
                fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
                left = fs.size
                if left:
                    block[:8] = number.to_bytes(8, "little")  # every file differs
                while left > 0:
                    left -= os.write(fd, block[:min(left, len(block))])
                os.close(fd)
        ports = self.capture(["gphoto2", "--auto-detect"]).splitlines()
        disks = [line for line in ports if "disk:" in line]
        if len(disks) != 1 or not disks[0].rstrip().endswith("disk:" + self.camera):
            raise SystemExit("expected exactly our camera, gphoto2 --auto-detect says:\n" +
                             "\n".join(ports))

    def remove_camera(self):
        if self.mounted:
            subprocess.run(["umount", self.camera], check=False)
            self.mounted = False

    # ---- fairness between runs ------------------------------------------
    def tool_files(self):
        """Executables, their libraries and libgphoto2's drivers: read back after
        dropping caches so that no run pays for loading programs from disk."""
        files = set()
        for exe in (self.binary, shutil.which("gphoto2"), shutil.which("cp"),
                    shutil.which("rsync"), shutil.which("sync")):
            files.add(exe)
            out = subprocess.run(["ldd", exe], capture_output=True, text=True).stdout
            files.update(w for w in out.split() if w.startswith("/"))
        files.update(glob.glob("/usr/lib/*/libgphoto2*/*/*.so"))
        return sorted(f for f in files if os.path.isfile(f))

    def settle_system(self):
        os.sync()
        if self.can_drop:
            try:
                with open("/proc/sys/vm/drop_caches", "w") as f:
                    f.write("3\n")
            except OSError as e:
                print(f"cannot drop caches ({e}); runs only sync", flush=True)
                self.can_drop = False
        for path in self.warm_files:
            with open(path, "rb") as f:
                while f.read(1 << 20):
                    pass

    def fresh_dest(self, path):
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)

    def check_space(self, fs, copies):
        free = shutil.disk_usage(self.work).free
        need = copies * fs.bytes + 2 * GiB
        if free < need:
            raise SystemExit(f"{self.work}: {free / GiB:.1f} GiB free, {fs.title} needs "
                             f"{need / GiB:.1f} GiB")

    # ---- measuring one process ------------------------------------------
    def env(self, home):
        env = dict(os.environ, HOME=home, LC_ALL="C", LANG="C")
        env.pop("LANGUAGE", None)
        return env

    def rss_wrapped(self, argv):
        """argv under GNU time, which writes the peak resident set in KiB to a file.
        (wait4 on a child forked from this Python would count Python's own pages:
        Linux keeps the peak across exec.)"""
        path = os.path.join(self.work, "rss.txt")
        return ["/usr/bin/time", "-f", "%M", "-o", path] + argv, path

    @staticmethod
    def read_rss(path):
        with open(path) as f:
            lines = f.read().split()
        return int(lines[-1]) if lines and lines[-1].isdigit() else -1

    def timed(self, argv, cwd=None, stdout=subprocess.DEVNULL, sync=False):
        """Runs argv to its end; returns (wall s, wall incl. sync s, status, rss KiB)."""
        argv, rss_path = self.rss_wrapped(argv)
        with tempfile.TemporaryDirectory(dir=self.work, prefix="home.") as home:
            start = time.monotonic()
            self.child = subprocess.Popen(argv, cwd=cwd, env=self.env(home),
                                          stdin=subprocess.DEVNULL, stdout=stdout,
                                          stderr=subprocess.DEVNULL, start_new_session=True)
            status = self.child.wait()
            end = time.monotonic()
            self.child = None
        synced = end
        if sync:
            os.sync()
            synced = time.monotonic()
        return end - start, synced - start, status, self.read_rss(rss_path)

    def capture(self, argv):
        with tempfile.TemporaryDirectory(dir=self.work, prefix="home.") as home:
            return subprocess.run(argv, env=self.env(home), capture_output=True,
                                  text=True).stdout

    @staticmethod
    def events(path):
        with open(path, "rb") as f:
            return [json.loads(line) for line in f if line.strip()]

    def picferry_import(self, fs, dest, skip):
        log = os.path.join(self.work, "events.jsonl")
        argv = [self.binary, "import", "--dest", dest] + (["--skip-existing"] if skip else [])
        with open(log, "wb") as out:
            wall, synced, status, rss = self.timed(argv, stdout=out, sync=True)
        done = [e for e in self.events(log) if e.get("type") in ("done", "error")]
        run = Run(wall, synced, rss)
        want = ("skipped" if skip else "downloaded")
        if status != 0 or not done or done[-1]["type"] != "done" or done[-1][want] != fs.count:
            run.error = f"exit {status}, last event {done[-1] if done else None}"
        return run

    def picferry_session(self, fs, dest, skip):
        """The copy phase: from the import command, sent right after the
        `detected` event, to the `done` event."""
        command = json.dumps({"cmd": "import", "dest": dest, "skipExisting": skip}) + "\n"
        copy_start = copy_end = None
        last = None
        with tempfile.TemporaryDirectory(dir=self.work, prefix="home.") as home:
            argv, rss_path = self.rss_wrapped([self.binary, "session"])
            self.child = subprocess.Popen(argv, env=self.env(home),
                                          stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                          stderr=subprocess.DEVNULL, start_new_session=True)
            for line in self.child.stdout:
                event = json.loads(line)
                kind = event.get("type")
                if kind == "detected":
                    copy_start = time.monotonic()
                    self.child.stdin.write(command.encode())
                    self.child.stdin.flush()
                elif kind in ("done", "error"):
                    copy_end = time.monotonic()
                    last = event
                    break
            self.child.stdin.close()
            self.child.wait()
            self.child.stdout.close()
            self.child = None
        rss = self.read_rss(rss_path)
        sync_start = time.monotonic()
        os.sync()
        sync_time = time.monotonic() - sync_start
        if copy_start is None or copy_end is None:
            return Run(0, 0, rss, error=f"no detected/done event, last {last}")
        run = Run(copy_end - copy_start, copy_end - copy_start + sync_time, rss)
        want = "skipped" if skip else "downloaded"
        if last.get("type") != "done" or last.get(want) != fs.count:
            run.error = f"last event {last}"
        return run

    def plain_tool(self, fs, argv, dest, cwd=None, expect_new=True):
        before = self.count_files(dest)
        wall, synced, status, rss = self.timed(argv, cwd=cwd, sync=True)
        run = Run(wall, synced, rss, count=self.count_files(dest))
        want = before + fs.count if expect_new else before
        if status != 0 or run.count != want:
            run.error = f"exit {status}, {run.count} files in the destination, {want} expected"
        return run

    @staticmethod
    def count_files(path):
        return sum(len(files) for _, _, files in os.walk(path))

    def detect(self, fs):
        log = os.path.join(self.work, "events.jsonl")
        with open(log, "wb") as out:
            wall, _, status, rss = self.timed([self.binary, "detect"], stdout=out)
        events = self.events(log)
        found = [e for e in events if e.get("type") == "detected"]
        run = Run(wall, wall, rss, count=found[-1]["itemCount"] if found else -1)
        errors = [e for e in events if e.get("type") == "error"]
        if status != 0 or errors or run.count != fs.count:
            run.error = f"exit {status}, itemCount {run.count}, errors {errors}"
        return run

    def gphoto2_list(self, fs):
        log = os.path.join(self.work, "list.txt")
        with open(log, "wb") as out:
            wall, _, status, rss = self.timed(["gphoto2", "--list-files"], stdout=out)
        with open(log, errors="replace") as f:
            count = sum(1 for line in f if line.startswith("#"))
        run = Run(wall, wall, rss, count=count)
        if status != 0 or count != fs.count:
            run.error = f"exit {status}, {count} files listed"
        return run

    # ---- the cases of each set ------------------------------------------
    def copy_cases(self, fs, memory_only=False):
        dcim = os.path.join(self.camera, "DCIM")
        d = self.dest
        cases = {
            PF_COPY: lambda: self.picferry_session(fs, d, False),
            PF_IMPORT: lambda: self.picferry_import(fs, d, False),
            "gphoto2 --get-all-files": lambda: self.plain_tool(
                fs, ["gphoto2", "--get-all-files"], d, cwd=d),
        }
        if not memory_only:
            cases["cp -r"] = lambda: self.plain_tool(fs, ["cp", "-r", dcim, d], d)
            cases["rsync -r --fsync"] = lambda: self.plain_tool(
                fs, ["rsync", "-r", "--fsync", dcim, d], d)
        return cases

    def skip_cases(self, fs, flat, tree):
        dcim = os.path.join(self.camera, "DCIM")
        return {
            PF_COPY + " --skip-existing": lambda: self.picferry_session(fs, flat, True),
            PF_IMPORT + " --skip-existing": lambda: self.picferry_import(fs, flat, True),
            "gphoto2 --get-all-files --skip-existing": lambda: self.plain_tool(
                fs, ["gphoto2", "--get-all-files", "--skip-existing"], flat, cwd=flat,
                expect_new=False),
            "cp -rn": lambda: self.plain_tool(fs, ["cp", "-rn", dcim, tree], tree,
                                              expect_new=False),
            "rsync -r --fsync --ignore-existing": lambda: self.plain_tool(
                fs, ["rsync", "-r", "--fsync", "--ignore-existing", dcim, tree], tree,
                expect_new=False),
        }

    def list_cases(self, fs):
        return {PF_DETECT: lambda: self.detect(fs),
                "gphoto2 --list-files": lambda: self.gphoto2_list(fs)}

    def measure(self, fs, title, reference, cases, writes):
        """Every case once per round, the order turning by one each round."""
        results = Results(FileSet(fs.key, title, fs.folders, fs.per_folder, fs.size, fs.ext),
                          reference, {label: [] for label in cases})
        labels = list(cases)
        for r in range(self.rounds):
            order = labels[r % len(labels):] + labels[:r % len(labels)]
            for label in order:
                if writes:
                    self.fresh_dest(self.dest)
                self.settle_system()
                run = cases[label]()
                results.rows[label].append(run)
                note = f"  ERROR: {run.error}" if run.error else ""
                print(f"  [{fs.key} round {r + 1}/{self.rounds}] {label}: {run.time:.3f} s "
                      f"(+sync {run.synced:.3f} s), {run.rss_kib / 1024:.1f} MiB{note}",
                      flush=True)
                if writes:
                    shutil.rmtree(self.dest, ignore_errors=True)
        self.results.append(results)
        self.write_report(final=False)

    def run(self):
        for fs in self.sets:
            print(f"== {fs.title}", flush=True)
            self.check_space(fs, 3 if fs.key == "photos" else 1)
            self.make_camera(fs)
            try:
                if fs.size == 0:
                    self.measure(fs, fs.title + ": listing", PF_DETECT, self.list_cases(fs),
                                 writes=False)
                else:
                    self.measure(fs, fs.title, PF_COPY,
                                 self.copy_cases(fs, memory_only=fs.key == "video4"),
                                 writes=True)
                if fs.key == "photos":
                    self.measure_skip(fs)
            finally:
                self.remove_camera()
        self.write_report(final=True)
        bad = [label for res in self.results for label, runs in res.rows.items()
               if any(run.error for run in runs)]
        return 1 if bad else 0

    def measure_skip(self, fs):
        flat = os.path.join(self.work, "present-flat")
        tree = os.path.join(self.work, "present-tree")
        self.fresh_dest(flat)
        self.fresh_dest(tree)
        first = self.picferry_import(fs, flat, False)
        subprocess.run(["cp", "-r", os.path.join(self.camera, "DCIM"), tree], check=True)
        if first.error:
            raise SystemExit(f"could not fill {flat}: {first.error}")
        try:
            self.measure(fs, fs.title + ", every file already present", PF_COPY + " --skip-existing",
                         self.skip_cases(fs, flat, tree), writes=False)
        finally:
            shutil.rmtree(flat, ignore_errors=True)
            shutil.rmtree(tree, ignore_errors=True)

    # ---- the report -----------------------------------------------------
    def write_report(self, final):
        lines = ["# picferry import benchmark", ""]
        if not final:
            lines += ["**Incomplete: the run was still going or stopped early.**", ""]
        if self.quick:
            lines += ["**Quick run (`--quick`): small sets and 2 rounds; the numbers only show "
                      "that the script works, the targets are not judged on them.**", ""]
        lines += machine_lines(self.work, self.started, self.command, self.build)
        lines += method_lines(self.rounds, self.can_drop)
        for res in self.results:
            lines += table(res)
        lines += ["## Targets", ""] + targets(self.results, self.quick) + [""]
        with open(self.out + ".tmp", "w") as f:
            f.write("\n".join(lines))
        os.replace(self.out + ".tmp", self.out)


def median(values):
    return statistics.median(values) if values else float("nan")


def ok_runs(runs):
    return [run for run in runs if not run.error]


def paired_ratio(res, label, attr="synced"):
    """Median over rounds of this row's time over the reference's, same round."""
    pairs = [getattr(a, attr) / getattr(b, attr)
             for a, b in zip(res.rows[label], res.rows[res.reference])
             if not a.error and not b.error and getattr(b, attr) > 0]
    return median(pairs)


def table(res):
    fs = res.fileset
    lines = [f"## {fs.title}", ""]
    if fs.size:
        lines += [f"{fs.count:,} file(s), {fs.bytes / 1e6:,.1f} MB. Ratio: the tool's time "
                  f"(including the final `sync`) over picferry's copy phase in the same round; "
                  f"above 1 the tool is slower than picferry.", "",
                  "| tool | median s | median s incl. sync | MB/s incl. sync | "
                  "ratio to picferry | peak RSS MiB | good runs |",
                  "|---|---:|---:|---:|---:|---:|---:|"]
    else:
        lines += [f"{fs.count:,} files. Ratio: the tool's time over `picferry detect`'s in "
                  f"the same round (detect includes its 3 s settle).", "",
                  "| tool | median s | ratio to picferry | peak RSS MiB | files counted | "
                  "good runs |", "|---|---:|---:|---:|---:|---:|"]
    for label, runs in res.rows.items():
        good = ok_runs(runs)
        t = median([r.time for r in good])
        s = median([r.synced for r in good])
        rss = median([r.rss_kib for r in good]) / 1024 if good else float("nan")
        if fs.size:
            copies = good and s > 0 and "present" not in fs.title
            rate = f"{fs.bytes / 1e6 / s:,.1f}" if copies else "-"
            lines.append(f"| {label} | {t:.3f} | {s:.3f} | {rate} | "
                         f"{paired_ratio(res, label):.2f} | {rss:.1f} | "
                         f"{len(good)}/{len(runs)} |")
        else:
            counts = sorted({r.count for r in runs})
            lines.append(f"| {label} | {t:.3f} | {paired_ratio(res, label, 'time'):.2f} | "
                         f"{rss:.1f} | {', '.join(map(str, counts))} | "
                         f"{len(good)}/{len(runs)} |")
    errors = [f"- {label}, round {i + 1}: {run.error}" for label, runs in res.rows.items()
              for i, run in enumerate(runs) if run.error]
    if errors:
        lines += ["", "Runs that failed (left out of the medians):", ""] + errors
    return lines + [""]


def find(results, key, title_part=""):
    for res in results:
        if res.fileset.key == key and title_part in res.fileset.title:
            return res
    return None


def targets(results, quick):
    out = []

    def verdict(name, met, detail):
        mark = "n/a" if met is None else ("met" if met else "NOT met")
        out.append(f"- **{mark}**: {name}: {detail}")

    def med(res, label, attr="synced"):
        return median([getattr(r, attr) for r in ok_runs(res.rows.get(label, []))])

    for key in ("photos", "small"):
        res = find(results, key)
        if res is None or res.reference not in res.rows:
            continue
        rsync = paired_ratio(res, "rsync -r --fsync")
        cp = paired_ratio(res, "cp -r")
        verdict(f"copy phase on {res.fileset.title} at least as fast as `rsync -r --fsync`",
                rsync >= 1.0 if rsync == rsync else None,
                f"rsync / picferry = {rsync:.2f} (medians: picferry {med(res, PF_COPY):.2f} s, "
                f"rsync {med(res, 'rsync -r --fsync'):.2f} s)")
        verdict(f"stretch: copy phase on {res.fileset.title} within 1.5x of `cp -r` + `sync`",
                cp >= 1 / 1.5 if cp == cp else None,
                f"picferry / (cp -r + sync) = {1 / cp:.2f} (cp -r + sync "
                f"{med(res, 'cp -r'):.2f} s)")
    one, four = find(results, "video1"), find(results, "video4")
    if one:
        pf = median([r.rss_kib for r in ok_runs(one.rows[PF_IMPORT])]) / 1024
        gp = median([r.rss_kib for r in ok_runs(one.rows["gphoto2 --get-all-files"])]) / 1024
        verdict(f"peak memory on {one.fileset.title} within 10% of `gphoto2 --get-all-files`",
                pf <= 1.10 * gp, f"picferry import {pf:.1f} MiB, gphoto2 {gp:.1f} MiB "
                f"({(pf / gp - 1) * 100:+.0f}%)")
        if four:
            pf4 = median([r.rss_kib for r in ok_runs(four.rows[PF_IMPORT])]) / 1024
            verdict(f"peak memory on {four.fileset.title} within 2 MiB of {one.fileset.title}",
                    pf4 - pf <= 2.0, f"picferry import {pf4:.1f} MiB vs {pf:.1f} MiB "
                    f"({pf4 - pf:+.1f} MiB)")
    res = find(results, "list100")
    if res:
        pf, gp = med(res, PF_DETECT, "time"), med(res, "gphoto2 --list-files", "time")
        verdict(f"`detect` on {res.fileset.title} no slower than `gphoto2 --list-files` + 3.0 s "
                f"settle + 1.5 s", pf <= gp + 4.5,
                f"detect {pf:.2f} s, limit {gp:.2f} + 4.5 = {gp + 4.5:.2f} s")
    res = find(results, "list1")
    if res:
        runs = res.rows[PF_DETECT]
        counts = sorted({r.count for r in runs})
        verdict(f"`detect` on {res.fileset.title}: the exact count and no watchdog error",
                bool(runs) and not any(r.error for r in runs),
                f"itemCount {counts} in {len(runs)} runs (expected {res.fileset.count}), "
                f"{sum(1 for r in runs if r.error)} failed; median {med(res, PF_DETECT, 'time'):.2f} s")
    res = find(results, "photos", "present")
    if res:
        t = med(res, res.reference, "time")
        verdict(f"`--skip-existing` over {res.fileset.count:,} present files: copy phase "
                f"under 0.5 s", t < 0.5, f"median {t:.3f} s")
    if quick:
        out.insert(0, "(Quick run: shown for trying the script only; the targets are meant "
                      "for the full sets.)")
    return out


def machine_lines(work, started, command, build):
    mem = next(line.split()[1] for line in open("/proc/meminfo") if line.startswith("MemTotal"))
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                if line.startswith("model name")), platform.processor())
    df = subprocess.run(["df", "-hT", work], capture_output=True, text=True).stdout.splitlines()
    device = df[-1].split()[0] if len(df) > 1 else "?"
    rot = "?"
    base = os.path.basename(device)
    if os.path.exists(f"/sys/class/block/{base}/queue/rotational"):
        rot = open(f"/sys/class/block/{base}/queue/rotational").read().strip()
    load = open("/proc/loadavg").read().split()[:3]
    return [
        f"- Date: {started}",
        f"- Command: `{command}`",
        f"- Build: {build}",
        f"- Machine: {os.cpu_count()} CPUs ({cpu}), {int(mem) / 1024 / 1024:.1f} GiB memory, "
        f"kernel {platform.release()}, load average at start {' '.join(load)} "
        f"(the machine was shared)",
        f"- Destination disk: {df[-1] if len(df) > 1 else '?'} (rotational={rot})",
        f"- Tools: {first_line(['gphoto2', '--version'])}, "
        f"{first_line(['rsync', '--version'])}, {first_line(['cp', '--version'])}",
        "",
    ]


def first_line(argv):
    out = subprocess.run(argv, capture_output=True, text=True).stdout.strip().splitlines()
    return " ".join(out[0].split()) if out else "?"


def method_lines(rounds, dropped):
    settle = ("`sync`, `echo 3 > /proc/sys/vm/drop_caches`, then the tools' executables, "
              "libraries and libgphoto2 drivers read back" if dropped else
              "`sync` (drop_caches was not writable)")
    return [
        "## Method", "",
        f"- {rounds} rounds; in each round every tool runs once on the same camera, the order "
        "turning by one tool per round. Tables show medians; ratios are medians of per-round "
        "ratios. Runs that failed their check are left out and listed.",
        "- Camera: a tmpfs with DCIM at its root in a private mount namespace "
        "(libgphoto2's \"Mass Storage Camera\" on a `disk:` port). Destinations on disk, "
        "emptied (removed and created) before every copying run.",
        f"- Before every run: {settle}. So every run starts with no dirty pages left by the "
        "previous tool and with the destination's metadata not cached (the tmpfs source stays "
        "in memory), but does not pay for loading programs from disk.",
        "- Time: wall clock. picferry import, cp, rsync, gphoto2: the whole process. "
        "picferry session copy phase: from the `import` command sent right after the "
        "`detected` event to the `done` event. \"incl. sync\": plus one `sync` after the tool "
        "ended (what makes cp and gphoto2, which do not flush, durable).",
        "- Memory: peak resident set of the process (the largest of it and its children), "
        "from wait4's ru_maxrss as `/usr/bin/time -f %M` reports it. HOME is a fresh "
        "temporary folder for every run.",
        "- Every run is checked: exit status 0 and the right number of files "
        "(picferry: its `done` or `detected` counts; others: files in the destination).",
        "",
    ]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--command", default="bench/run.sh")
    parser.add_argument("--build", default="")
    args = parser.parse_args()
    if os.geteuid() != 0:
        raise SystemExit("bench.py must run as root (mounts, drop_caches)")

    def stop(signum, _frame):
        raise SystemExit(128 + signum)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGHUP, stop)
    bench = Bench(args)
    try:
        return bench.run()
    finally:
        if bench.child and bench.child.poll() is None:
            os.killpg(bench.child.pid, signal.SIGKILL)  # the tool and /usr/bin/time
            bench.child.wait()
        bench.remove_camera()


if __name__ == "__main__":
    sys.exit(main())
