#!/usr/bin/env python3
"""Import throughput and memory: picferry against cp, rsync, gphoto2 and libimobiledevice.

Run through bench/run.sh (root, inside a private mount namespace). Each set of
files is put on a tmpfs with DCIM at its root, which libgphoto2 reports as a
"Mass Storage Camera"; every tool copies the same files into an emptied
destination, the tools taking turns run by run, on two destinations: the
machine's disk and a journaled ext4 image, loop-mounted. The iPhone set is served
by the fake phone of the tests (usbmuxd, lockdownd and AFC on a Unix socket) and
read by picferry and by bench/afc_read (libimobiledevice alone).

Usage: bench.py --binary PICFERRY --afc-read AFC_READ --work DIR --out RESULTS.md
                [--quick] [--runs N] [--command TEXT] [--build TEXT]
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
    kind: str = "copy"  # list, copy, memory (picferry import and gphoto2 only), afc

    @property
    def count(self):
        return self.folders * self.per_folder

    @property
    def bytes(self):
        return self.count * self.size


FULL = [
    FileSet("list100", "100,000 empty files in 100 folders", 100, 1000, 0, kind="list"),
    FileSet("list1", "30,000 empty files in one folder", 1, 30000, 0, kind="list"),
    FileSet("small", "4,000 files of 10 KiB in 8 folders", 8, 500, 10 * 1024),
    FileSet("photos", "300 files of 3 MiB in 2 folders", 2, 150, 3 * MiB),
    FileSet("video1", "one 1 GiB video", 1, 1, GiB, "MOV"),
    FileSet("video4", "one 4 GiB video (memory)", 1, 1, 4 * GiB, "MOV", kind="memory"),
    FileSet("afc", "200 files of 3 MiB over the fake phone (AFC)", 2, 100, 3 * MiB, kind="afc"),
]
QUICK = [
    FileSet("list100", "2,000 empty files in 10 folders", 10, 200, 0, kind="list"),
    FileSet("list1", "1,000 empty files in one folder", 1, 1000, 0, kind="list"),
    FileSet("small", "400 files of 10 KiB in 8 folders", 8, 50, 10 * 1024),
    FileSet("photos", "40 files of 3 MiB in 2 folders", 2, 20, 3 * MiB),
    FileSet("video1", "one 64 MiB video", 1, 1, 64 * MiB, "MOV"),
    FileSet("video4", "one 256 MiB video (memory)", 1, 1, 256 * MiB, "MOV", kind="memory"),
    FileSet("afc", "20 files of 3 MiB over the fake phone (AFC)", 2, 10, 3 * MiB, kind="afc"),
]

# The destinations every copying set is measured on: (key, title).
DISK = "disk"
EXT4 = "ext4"
DEST_TITLES = {
    DISK: "the machine's disk",
    EXT4: "a journaled ext4 image",
}

PF_COPY = "picferry session: copy phase"  # the reference of every copy set
PF_IMPORT = "picferry import (whole process)"
PF_DETECT = "picferry detect"
AFC_READ = "afc_read (libimobiledevice alone): walk and copy"
AFC_READ_WHOLE = "afc_read (whole process)"
RSYNC = "rsync -r --fsync"
CP = "cp -r"
GPHOTO2 = "gphoto2 --get-all-files"
FAKE_PHONE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "device",
                          "afc", "fake_phone.py")


@dataclass
class Run:
    time: float            # seconds, what the row measures
    synced: float          # the same plus a `sync` right after the tool ended
    rss_kib: int           # peak resident set (wait4's ru_maxrss)
    error: str = ""        # why the run does not count, if it does not
    count: int = -1        # files reported or found
    phone_cpu: float = -1  # CPU seconds of the fake phone during the run (iPhone set only)
    commits: int = -1      # journal commits of the destination during the run, sync included


@dataclass
class Results:
    fileset: FileSet
    reference: str
    dest: str = ""  # DISK or EXT4 for the copying sets
    rows: dict = field(default_factory=dict)  # label -> [Run per round]


class Bench:
    def __init__(self, args):
        self.binary = os.path.realpath(args.binary)
        self.afc_read = os.path.realpath(args.afc_read)
        self.work = args.work
        self.camera = os.path.join(self.work, "camera")
        self.image = os.path.join(self.work, "ext4.img")
        self.image_mount = os.path.join(self.work, "ext4")
        self.roots = {DISK: self.work, EXT4: self.image_mount}
        self.rounds = 2 if args.quick else args.runs
        self.sets = QUICK if args.quick else FULL
        self.quick = args.quick
        self.out = args.out
        self.command = args.command
        self.build = args.build
        self.mounted = False
        self.image_mounted = False
        self.image_size = 0
        self.image_features = "?"
        self.phone = None
        self.extra_env = {}
        self.child = None
        self.results = []
        self.can_drop = True
        self.warm_files = self.tool_files()
        self.started = time.strftime("%Y-%m-%d %H:%M:%S %Z")

    def dest(self, where):
        return os.path.join(self.roots[where], "dest")

    # ---- the journaled ext4 image ----------------------------------------
    def make_image(self):
        """A file under the work folder, made ext4 with mkfs's defaults (a journal, as a
        Debian install has), loop-mounted in this mount namespace. The inode tables and the
        journal are written by mkfs itself rather than later by the kernel's lazy init, so
        no background writes disturb the runs; the format is the default one."""
        biggest = max(fs.bytes for fs in self.sets if fs.kind != "list")
        self.image_size = max(2 * GiB, biggest + GiB)
        with open(self.image, "wb") as f:
            f.truncate(self.image_size)
        subprocess.run(["mkfs.ext4", "-q", "-F", "-E", "lazy_itable_init=0,lazy_journal_init=0",
                        self.image], check=True)
        dump = subprocess.run(["dumpe2fs", "-h", self.image], capture_output=True,
                              text=True).stdout
        self.image_features = next((line.split(":", 1)[1].strip() for line in dump.splitlines()
                                    if line.startswith("Filesystem features")), "?")
        os.makedirs(self.image_mount)
        subprocess.run(["mount", "-o", "loop", self.image, self.image_mount], check=True)
        self.image_mounted = True
        os.sync()

    def remove_image(self):
        if self.image_mounted:
            subprocess.run(["umount", self.image_mount], check=False)
            self.image_mounted = False
        if os.path.exists(self.image):
            os.remove(self.image)

    # ---- the camera -----------------------------------------------------
    def make_camera(self, fs):
        """A tmpfs holding fs. A camera has DCIM at the tmpfs's root (a disk: port for
        libgphoto2, a mounted camera for picferry); the phone's folder is phone/ in it, so
        that nothing but the fake phone serves those files."""
        os.makedirs(self.camera, exist_ok=True)
        size = fs.bytes + fs.count * 4096 + 64 * MiB
        subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "picferry-bench",
                        self.camera], check=True)
        self.mounted = True
        phone = fs.kind == "afc"
        top = os.path.join(self.camera, "phone") if phone else self.camera
        block = bytearray(os.urandom(min(fs.size, 4 * MiB)))
        number = 0
        for f in range(fs.folders):
            folder = os.path.join(top, "DCIM", f"{100 + f:03d}{'APPLE' if phone else 'BENCH'}")
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
        if phone:
            return top
        ports = self.capture(["gphoto2", "--auto-detect"]).splitlines()
        disks = [line for line in ports if "disk:" in line]
        if len(disks) != 1 or not disks[0].rstrip().endswith("disk:" + self.camera):
            raise SystemExit("expected exactly our camera, gphoto2 --auto-detect says:\n" +
                             "\n".join(ports))
        return top

    def remove_camera(self):
        if self.mounted:
            subprocess.run(["umount", self.camera], check=False)
            self.mounted = False

    # ---- the fake phone -------------------------------------------------
    def start_phone(self, folder):
        sock = os.path.join(self.work, "usbmuxd.sock")
        if os.path.exists(sock):
            os.remove(sock)
        self.phone = subprocess.Popen(["python3", FAKE_PHONE, sock, folder],
                                      stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL, start_new_session=True)
        for _ in range(500):
            if os.path.exists(sock):
                break
            time.sleep(0.01)
        else:
            raise SystemExit("the fake phone did not start")
        self.extra_env = {"USBMUXD_SOCKET_ADDRESS": "UNIX:" + sock}

    def phone_cpu(self):
        """User + system CPU seconds the fake phone has used so far (0 without it)."""
        if not self.phone:
            return 0.0
        with open(f"/proc/{self.phone.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop_phone(self):
        self.extra_env = {}
        if self.phone and self.phone.poll() is None:
            self.phone.kill()
        if self.phone:
            self.phone.wait()
        self.phone = None

    # ---- fairness between runs ------------------------------------------
    def tool_files(self):
        """Executables, their libraries and libgphoto2's drivers: read back after
        dropping caches so that no run pays for loading programs from disk."""
        files = set()
        for exe in (self.binary, self.afc_read, shutil.which("gphoto2"), shutil.which("cp"),
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
        image_growth = 0
        if os.path.exists(self.image):  # the sparse image may still grow to its size
            image_growth = max(0, self.image_size - os.stat(self.image).st_blocks * 512)
        need = copies * fs.bytes + image_growth + 2 * GiB
        if free < need:
            raise SystemExit(f"{self.work}: {free / GiB:.1f} GiB free, {fs.title} needs "
                             f"{need / GiB:.1f} GiB (with the ext4 image)")

    # ---- measuring one process ------------------------------------------
    def env(self, home):
        env = dict(os.environ, HOME=home, LC_ALL="C", LANG="C", **self.extra_env)
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

    def afc_reader(self, fs, dest):
        """bench/afc_read: two rows, its own time from the AFC client being ready to the
        last file's folder flush, and the whole process (connect and handshake too)."""
        log = os.path.join(self.work, "afc_read.json")
        with open(log, "wb") as out:
            wall, synced, status, rss = self.timed([self.afc_read, dest], stdout=out, sync=True)
        try:
            with open(log) as f:
                report = json.loads(f.read().strip().splitlines()[-1])
        except (ValueError, IndexError):
            report = {}
        seconds = report.get("seconds", 0.0)
        copy = Run(seconds, seconds + (synced - wall), rss, count=self.count_files(dest))
        whole = Run(wall, synced, rss, count=copy.count)
        if status != 0 or report.get("files") != fs.count or copy.count != fs.count:
            copy.error = whole.error = (f"exit {status}, report {report}, {copy.count} files "
                                        f"in the destination, {fs.count} expected")
        return {AFC_READ: copy, AFC_READ_WHOLE: whole}

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
    def copy_cases(self, fs, d):
        dcim = os.path.join(self.camera, "DCIM")
        if fs.kind == "afc":
            return {PF_COPY: lambda: self.picferry_session(fs, d, False),
                    PF_IMPORT: lambda: self.picferry_import(fs, d, False),
                    AFC_READ: lambda: self.afc_reader(fs, d)}
        cases = {}
        if fs.kind != "memory":
            cases[PF_COPY] = lambda: self.picferry_session(fs, d, False)
        cases[PF_IMPORT] = lambda: self.picferry_import(fs, d, False)
        cases[GPHOTO2] = lambda: self.plain_tool(fs, ["gphoto2", "--get-all-files"], d, cwd=d)
        if fs.kind != "memory":
            cases[CP] = lambda: self.plain_tool(fs, ["cp", "-r", dcim, d], d)
            cases[RSYNC] = lambda: self.plain_tool(fs, ["rsync", "-r", "--fsync", dcim, d], d)
        return cases

    def skip_cases(self, fs, flat, tree):
        dcim = os.path.join(self.camera, "DCIM")
        return {
            PF_COPY + " --skip-existing": lambda: self.picferry_session(fs, flat, True),
            PF_IMPORT + " --skip-existing": lambda: self.picferry_import(fs, flat, True),
            GPHOTO2 + " --skip-existing": lambda: self.plain_tool(
                fs, ["gphoto2", "--get-all-files", "--skip-existing"], flat, cwd=flat,
                expect_new=False),
            "cp -rn": lambda: self.plain_tool(fs, ["cp", "-rn", dcim, tree], tree,
                                              expect_new=False),
            RSYNC + " --ignore-existing": lambda: self.plain_tool(
                fs, ["rsync", "-r", "--fsync", "--ignore-existing", dcim, tree], tree,
                expect_new=False),
        }

    def list_cases(self, fs):
        return {PF_DETECT: lambda: self.detect(fs),
                "gphoto2 --list-files": lambda: self.gphoto2_list(fs)}

    def measure(self, fs, title, reference, cases, dest=None, where=""):
        """Every case once per round, the order turning by one each round. dest: the
        folder emptied before and removed after every run (None: nothing is written)."""
        results = Results(FileSet(fs.key, title, fs.folders, fs.per_folder, fs.size, fs.ext,
                                  fs.kind), reference, dest=where,
                          rows={label: [] for label in cases})
        labels = list(cases)
        tag = f"{fs.key}{' on ' + where if where else ''}"
        for r in range(self.rounds):
            order = labels[r % len(labels):] + labels[:r % len(labels)]
            for label in order:
                if dest:
                    self.fresh_dest(dest)
                self.settle_system()
                cpu = self.phone_cpu()
                commits = journal_commits(dest) if dest else -1
                out = cases[label]()
                cpu = self.phone_cpu() - cpu
                if commits >= 0:
                    commits = journal_commits(dest) - commits
                for row, run in (out.items() if isinstance(out, dict) else [(label, out)]):
                    if self.phone:
                        run.phone_cpu = cpu
                    run.commits = commits
                    results.rows.setdefault(row, []).append(run)
                    note = f"  ERROR: {run.error}" if run.error else ""
                    print(f"  [{tag} round {r + 1}/{self.rounds}] {row}: {run.time:.3f} s "
                          f"(+sync {run.synced:.3f} s), {run.rss_kib / 1024:.1f} MiB{note}",
                          flush=True)
                if dest:
                    shutil.rmtree(dest, ignore_errors=True)
        self.results.append(results)
        self.write_report(final=False)

    def run(self):
        self.make_image()
        for fs in self.sets:
            print(f"== {fs.title}", flush=True)
            self.check_space(fs, 3 if fs.key == "photos" else 1)
            top = self.make_camera(fs)
            try:
                if fs.kind == "list":
                    self.measure(fs, fs.title + ": listing", PF_DETECT, self.list_cases(fs))
                    continue
                if fs.kind == "afc":
                    self.start_phone(top)
                for where in (DISK, EXT4):
                    d = self.dest(where)
                    self.measure(fs, f"{fs.title}, on {DEST_TITLES[where]}",
                                 PF_COPY if fs.kind != "memory" else PF_IMPORT,
                                 self.copy_cases(fs, d), dest=d, where=where)
                if fs.key == "photos":
                    self.measure_skip(fs)
            finally:
                self.stop_phone()
                self.remove_camera()
        self.write_report(final=True)
        bad = [label for res in self.results for label, runs in res.rows.items()
               if any(run.error for run in runs)]
        return 1 if bad else 0

    def measure_skip(self, fs):
        """On the machine's disk only: nothing is written, the folder is only read."""
        flat = os.path.join(self.work, "present-flat")
        tree = os.path.join(self.work, "present-tree")
        self.fresh_dest(flat)
        self.fresh_dest(tree)
        first = self.picferry_import(fs, flat, False)
        subprocess.run(["cp", "-r", os.path.join(self.camera, "DCIM"), tree], check=True)
        if first.error:
            raise SystemExit(f"could not fill {flat}: {first.error}")
        try:
            self.measure(fs, fs.title + ", every file already present (on the machine's disk)",
                         PF_COPY + " --skip-existing", self.skip_cases(fs, flat, tree))
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
        lines += machine_lines(self.work, self.started, self.command, self.build,
                               self.image_size, self.image_features)
        lines += method_lines(self.rounds, self.can_drop)
        for res in self.results:
            lines += table(res)
        lines += price_lines(self.results)
        lines += ["## Targets", ""] + targets(self.results, self.quick) + [""]
        with open(self.out + ".tmp", "w") as f:
            f.write("\n".join(lines))
        os.replace(self.out + ".tmp", self.out)


def median(values):
    return statistics.median(values) if values else float("nan")


def ok_runs(runs):
    return [run for run in runs if not run.error]


def round_ratio(res, num, den, attr="synced"):
    """Median over rounds of num's time over den's in the same round (nan without pairs)."""
    pairs = [getattr(a, attr) / getattr(b, attr)
             for a, b in zip(res.rows.get(num, []), res.rows.get(den, []))
             if not a.error and not b.error and getattr(b, attr) > 0]
    return median(pairs)


def paired_ratio(res, label, attr="synced"):
    """Median over rounds of this row's time over the reference's, same round."""
    return round_ratio(res, label, res.reference, attr)


def med(res, label, attr="synced"):
    return median([getattr(r, attr) for r in ok_runs(res.rows.get(label, []))])


def med_rss(res, label):
    return median([r.rss_kib for r in ok_runs(res.rows.get(label, []))]) / 1024


def table(res):
    fs = res.fileset
    lines = [f"## {fs.title}", ""]
    phone = fs.kind == "afc"
    commits = any(r.commits >= 0 for runs in res.rows.values() for r in runs)
    if fs.size:
        ref = "picferry import" if res.reference == PF_IMPORT else "picferry's copy phase"
        lines += [f"{fs.count:,} file(s), {fs.bytes / 1e6:,.1f} MB. Ratio: the tool's time "
                  f"(including the final `sync`) over {ref} in the same round; above 1 the "
                  f"tool is slower than picferry"
                  + (" (for afc_read: picferry's throughput over afc_read's)" if phone else "")
                  + ".", "",
                  "| tool | median s | median s incl. sync | MB/s incl. sync | "
                  "ratio to picferry | peak RSS MiB | good runs |"
                  + (" fake phone CPU s |" if phone else "")
                  + (" journal commits per file |" if commits else ""),
                  "|---|---:|---:|---:|---:|---:|---:|" + ("---:|" if phone else "")
                  + ("---:|" if commits else "")]
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
            line = (f"| {label} | {t:.3f} | {s:.3f} | {rate} | "
                    f"{paired_ratio(res, label):.2f} | {rss:.1f} | {len(good)}/{len(runs)} |")
            if phone:
                line += f" {median([r.phone_cpu for r in good]):.2f} |"
            if commits:
                line += f" {median([r.commits for r in good]) / fs.count:.2f} |"
            lines.append(line)
        else:
            counts = sorted({r.count for r in runs})
            lines.append(f"| {label} | {t:.3f} | {paired_ratio(res, label, 'time'):.2f} | "
                         f"{rss:.1f} | {', '.join(map(str, counts))} | "
                         f"{len(good)}/{len(runs)} |")
    if commits:
        lines += ["", "Journal commits per file: transactions jbd2 committed on the image during "
                  "the run and its `sync` (/proc/fs/jbd2), over the files; each is at least one "
                  "flush of the disk, and a file counted with its name durable needs one."]
    if phone:
        lines += ["", "Fake phone CPU s: user + system time of the fake phone's Python process "
                  "during the run; near the run's time, the fake itself (one core under "
                  "Python's GIL) is what limits both tools."]
    errors = [f"- {label}, round {i + 1}: {run.error}" for label, runs in res.rows.items()
              for i, run in enumerate(runs) if run.error]
    if errors:
        lines += ["", "Runs that failed (left out of the medians):", ""] + errors
    return lines + [""]


def find(results, key, dest="", title_part=""):
    for res in results:
        if res.fileset.key == key and res.dest == dest and title_part in res.fileset.title:
            return res
    return None


def price_lines(results):
    """The copy phase against the two plain copies, set by set: the price of the durable
    name (picferry flushes every file under its name before reporting it)."""
    rows = [res for res in results if res.fileset.kind == "copy" and res.dest
            and RSYNC in res.rows]
    if not rows:
        return []
    lines = ["## Copy phase against `rsync -r --fsync` and `cp -r` + `sync`", "",
             "The price of the durable name: picferry's copy phase (every file flushed under "
             "its name before its `progress` line) over each plain copy, medians of per-round "
             "ratios; below 1 picferry is faster.", "",
             "| set | destination | copy phase s | rsync -r --fsync s | cp -r + sync s | "
             "picferry / rsync | picferry / (cp -r + sync) |",
             "|---|---|---:|---:|---:|---:|---:|"]
    for res in rows:
        title = res.fileset.title.split(", on ")[0]
        lines.append(f"| {title} | {DEST_TITLES[res.dest]} | {med(res, PF_COPY):.3f} | "
                     f"{med(res, RSYNC):.3f} | {med(res, CP):.3f} | "
                     f"{round_ratio(res, PF_COPY, RSYNC):.2f} | "
                     f"{round_ratio(res, PF_COPY, CP):.2f} |")
    return lines + [""]


def targets(results, quick):
    out = []

    def verdict(name, met, detail):
        mark = "n/a" if met is None else ("met" if met else "NOT met")
        out.append(f"- **{mark}**: {name}: {detail}")

    def known(x):
        return x == x  # not nan

    for where in (DISK, EXT4):
        on = f"on {DEST_TITLES[where]}"
        res = find(results, "small", where)
        if res:
            name = res.fileset.title.split(", on ")[0]
            r = round_ratio(res, PF_COPY, RSYNC)
            verdict(f"{on}: copy phase on {name} at most 0.6x `rsync -r --fsync`",
                    r <= 0.6 if known(r) else None,
                    f"picferry / rsync = {r:.2f} (medians: picferry {med(res, PF_COPY):.2f} s, "
                    f"rsync {med(res, RSYNC):.2f} s)")
        for key, limit in (("small", 3.0), ("photos", 1.5), ("video1", 1.2)):
            res = find(results, key, where)
            if not res:
                continue
            name = res.fileset.title.split(", on ")[0]
            r = round_ratio(res, PF_COPY, CP)
            verdict(f"{on}: copy phase on {name} within {limit:g}x of `cp -r` + `sync`",
                    r <= limit if known(r) else None,
                    f"picferry / (cp -r + sync) = {r:.2f} (medians: picferry "
                    f"{med(res, PF_COPY):.2f} s, cp -r + sync {med(res, CP):.2f} s)")
        res = find(results, "photos", where)
        if res:
            name = res.fileset.title.split(", on ")[0]
            r = round_ratio(res, PF_COPY, RSYNC)
            verdict(f"{on} (earlier target): copy phase on {name} at least as fast as "
                    f"`rsync -r --fsync`", r <= 1.0 if known(r) else None,
                    f"picferry / rsync = {r:.2f}")
        one, four = find(results, "video1", where), find(results, "video4", where)
        if one:
            pf, gp = med_rss(one, PF_IMPORT), med_rss(one, GPHOTO2)
            verdict(f"{on}: peak memory on {one.fileset.title.split(', on ')[0]} within 10% of "
                    f"`gphoto2 --get-all-files`", pf <= 1.10 * gp if known(pf / gp) else None,
                    f"picferry import {pf:.1f} MiB, gphoto2 {gp:.1f} MiB "
                    f"({(pf / gp - 1) * 100:+.0f}%)")
            if four:
                pf4 = med_rss(four, PF_IMPORT)
                verdict(f"{on}: peak memory on {four.fileset.title.split(', on ')[0]} within "
                        f"2 MiB of the {one.fileset.title.split(', on ')[0].replace('one ', '')}",
                        pf4 - pf <= 2.0 if known(pf4 - pf) else None,
                        f"picferry import {pf4:.1f} MiB vs {pf:.1f} MiB ({pf4 - pf:+.1f} MiB)")
        res = find(results, "afc", where)
        if res:
            r = round_ratio(res, AFC_READ, PF_COPY)
            verdict(f"{on}: over the fake phone, picferry's throughput within 10% of "
                    f"libimobiledevice alone (bench/afc_read)", r >= 0.9 if known(r) else None,
                    f"picferry / afc_read throughput = {r:.2f} (medians: copy phase "
                    f"{med(res, PF_COPY):.2f} s, afc_read {med(res, AFC_READ):.2f} s; fake phone "
                    f"CPU {median([x.phone_cpu for x in ok_runs(res.rows[PF_COPY])]):.2f} s "
                    f"during picferry's runs)")
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
    res = find(results, "photos", "", "present")
    if res:
        t = med(res, res.reference, "time")
        verdict(f"`--skip-existing` over {res.fileset.count:,} present files (on the machine's "
                f"disk): copy phase under 0.5 s", t < 0.5, f"median {t:.3f} s")
    if quick:
        out.insert(0, "(Quick run: shown for trying the script only; the targets are meant "
                      "for the full sets.)")
    return out


def journal_commits(path):
    """Transactions jbd2 has committed on the file system holding path's parent so far
    (-1 without a journal): one is at least one flush of the disk."""
    block, has = journaled(os.path.dirname(os.path.abspath(path)))
    if not has:
        return -1
    for info in glob.glob(f"/proc/fs/jbd2/{block}-*/info"):
        with open(info) as f:
            return int(f.readline().split()[0])
    return -1


def journaled(path):
    """Whether the file system holding path has a jbd2 journal running, as the kernel shows."""
    dev = os.stat(path).st_dev
    name = f"{os.major(dev)}:{os.minor(dev)}"
    block = ""
    for entry in glob.glob("/sys/class/block/*/dev"):
        if open(entry).read().strip() == name:
            block = entry.split("/")[-2]
    jbd2 = os.listdir("/proc/fs/jbd2") if os.path.isdir("/proc/fs/jbd2") else []
    has = any(j.rsplit("-", 1)[0] == block for j in jbd2) if block else None
    return block or name, has


def machine_lines(work, started, command, build, image_size, image_features):
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
    disk_block, disk_journal = journaled(work)
    image = os.path.join(work, "ext4")
    journal_text = {True: "a jbd2 journal running", False: "no journal", None: "journal unknown"}
    lines = [
        f"- Date: {started}",
        f"- Command: `{command}`",
        f"- Build: {build}",
        f"- Machine: {os.cpu_count()} CPUs ({cpu}), {int(mem) / 1024 / 1024:.1f} GiB memory, "
        f"kernel {platform.release()}, load average at start {' '.join(load)} "
        f"(the machine was shared)",
        f"- Destination 1, the machine's disk: {df[-1] if len(df) > 1 else '?'} "
        f"(rotational={rot}; {disk_block}: {journal_text[disk_journal]})",
    ]
    if os.path.ismount(image):
        image_block, image_journal = journaled(image)
        lines.append(f"- Destination 2, journaled ext4 image: {image_size / GiB:.1f} GiB file "
                     f"in the work folder on that disk, `mkfs.ext4 -q -F -E "
                     f"lazy_itable_init=0,lazy_journal_init=0`, `mount -o loop` "
                     f"({image_block}: {journal_text[image_journal]}; features: "
                     f"{image_features})")
    lines += [
        f"- Tools: {first_line(['gphoto2', '--version'])}, "
        f"{first_line(['rsync', '--version'])}, {first_line(['cp', '--version'])}, "
        f"libimobiledevice {pkg_version('libimobiledevice-1.0')}",
        "",
    ]
    return lines


def pkg_version(name):
    return subprocess.run(["pkg-config", "--modversion", name], capture_output=True,
                          text=True).stdout.strip() or "?"


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
        "- Camera: a tmpfs with DCIM at its root in a private mount namespace (picferry reads "
        "it as a mounted camera; gphoto2 as libgphoto2's \"Mass Storage Camera\" on a `disk:` "
        "port).",
        "- Destinations: every copying set is measured on the machine's disk (under "
        "/var/tmp) and on a journaled ext4 image (a file on that disk, `mkfs.ext4` with its "
        "defaults, loop-mounted in the namespace), one table each; the destination is "
        "emptied (removed and created) before every copying run and removed after it.",
        f"- Before every run: {settle}, on both destinations. So every run starts with no "
        "dirty pages left by the previous tool and with the destination's metadata not "
        "cached (the tmpfs source stays in memory), but does not pay for loading programs "
        "from disk.",
        "- Time: wall clock. picferry import, cp, rsync, gphoto2: the whole process. "
        "picferry session copy phase: from the `import` command sent right after the "
        "`detected` event to the `done` event. \"incl. sync\": plus one `sync` after the tool "
        "ended (what makes cp and gphoto2, which do not flush, durable).",
        "- iPhone: the fake phone of the tests (`tests/device/afc/fake_phone.py`: usbmuxd, "
        "lockdownd and AFC on a Unix socket, in Python) serves a folder of the tmpfs; "
        "picferry and `bench/afc_read` (libimobiledevice alone: handshake, AFC, /DCIM walked, "
        "1 MiB reads as picferry's AFC backend does) find it through "
        "`USBMUXD_SOCKET_ADDRESS`. Both copy durably: afc_read writes a temporary file, "
        "`fdatasync`, renames it and `fsync`s the folder, file by file. afc_read's time is its "
        "own, from the AFC client being ready to the last flush (listing included); its whole "
        "process is shown too.",
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
    parser.add_argument("--afc-read", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--runs", type=int, default=3)
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
        bench.stop_phone()
        bench.remove_camera()
        bench.remove_image()


if __name__ == "__main__":
    sys.exit(main())
