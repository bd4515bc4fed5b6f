#!/usr/bin/env python3
"""Small files from a mounted camera: two picferry builds against `rsync -r --fsync`.

Usage (root): bench/rsync_compare.py BINARY_A BINARY_B [--files 4000] [--kib 10]
              [--rounds 5] [--dests ext4,disk]

The camera is a tmpfs with DCIM at its root (8 folders, names unique across them), which
picferry reads as mounted storage. Destinations:
  ext4  a journaled ext4 image, `mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0`,
        loop-mounted (buffered) in the work folder under /var/tmp
  disk  the machine's disk: a folder in the work folder under /var/tmp
Everything is mounted in a private mount namespace (the script enters one itself with
`unshare -m --propagation private`) and removed on exit.

Each round runs A, B and rsync once per destination, the order turning by one each round.
Before every run: the destination removed, `sync`, `echo 3 > /proc/sys/vm/drop_caches`, then
the executables and their libraries read back (no run pays for loading a program from disk).
Times: picferry, the copy phase of `picferry session` (from the import command, written right
after the `detected` event, to the `done` event); rsync, the whole process of
`rsync -r --fsync SRC/DCIM DEST`. Both copy durably (picferry flushes every file under its
name before its `progress` line; rsync fsyncs every file). The `sync` run after each tool
is timed too and listed apart. Every run is checked: its status, `done` counting every file
downloaded, the destination holding every file at its size. Medians over rounds; ratios are
medians of the per-round ratios.
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

from process_output import read_line

KIB = 1024
FOLDERS = 8


class Bench:
    def __init__(self, args):
        self.binaries = {"A": os.path.realpath(args.binary_a),
                         "B": os.path.realpath(args.binary_b)}
        self.files, self.kib, self.rounds = args.files, args.kib, args.rounds
        self.dests = args.dests.split(",")
        self.rsync = shutil.which("rsync")
        if not self.rsync:
            raise SystemExit("rsync is not installed (scripts/setup.sh rsync)")
        self.work = tempfile.mkdtemp(prefix="picferry-rsync.", dir="/var/tmp")
        self.camera = os.path.join(self.work, "CAM")
        self.mounts = []
        self.home = os.path.join(self.work, "home")
        os.makedirs(self.home)
        self.warm = self.tool_files()

    def mount(self, argv, point):
        os.makedirs(point, exist_ok=True)
        subprocess.run(argv + [point], check=True)
        self.mounts.append(point)

    def close(self):
        for point in reversed(self.mounts):
            subprocess.run(["umount", "-l", point], check=False)
        shutil.rmtree(self.work, ignore_errors=True)

    def tool_files(self):
        files = set()
        for exe in list(self.binaries.values()) + [self.rsync, shutil.which("sync")]:
            files.add(exe)
            out = subprocess.run(["ldd", exe], capture_output=True, text=True).stdout
            files.update(w for w in out.split() if w.startswith("/"))
        return sorted(f for f in files if os.path.isfile(f))

    def make_camera(self):
        size_mib = self.files * max(self.kib, 4) // KIB + 64
        self.mount(["mount", "-t", "tmpfs", "-o", f"size={size_mib}m", "rsync-compare-cam"],
                   self.camera)
        per_folder = -(-self.files // FOLDERS)
        for i in range(self.files):
            folder = os.path.join(self.camera, "DCIM", f"{100 + i // per_folder}TEST")
            os.makedirs(folder, exist_ok=True)
            with open(os.path.join(folder, f"IMG_{i + 1:05d}.JPG"), "wb") as out:
                out.write(os.urandom(self.kib * KIB))

    def make_dest(self, kind):
        point = os.path.join(self.work, "out-" + kind)
        if kind == "disk":
            os.makedirs(point)
        elif kind == "ext4":
            image = os.path.join(self.work, "dest.img")
            with open(image, "wb") as f:
                f.truncate((self.files * self.kib // KIB + 1024) * KIB * KIB)
            subprocess.run(["mkfs.ext4", "-q", "-F", "-E",
                            "lazy_itable_init=0,lazy_journal_init=0", image], check=True)
            self.mount(["mount", "-o", "loop", image], point)
        else:
            raise SystemExit(f"unknown destination {kind}: ext4 or disk")
        return point

    def journal(self, point):
        """The jbd2 entries of the file system at point (none: no journal running)."""
        dev = os.stat(point).st_dev
        names = os.listdir("/proc/fs/jbd2") if os.path.isdir("/proc/fs/jbd2") else []
        for name in names:
            device = name.rsplit("-", 1)[0]
            try:
                if os.stat("/dev/" + device).st_rdev == dev:
                    return name
            except OSError:
                continue
        return None

    def settle(self):
        os.sync()
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("3\n")
        for path in self.warm:
            with open(path, "rb") as f:
                while f.read(1 << 20):
                    pass

    def env(self):
        env = dict(os.environ, HOME=self.home, XDG_STATE_HOME=os.path.join(self.home, "state"),
                   LC_ALL="C", LANG="C")
        env.pop("LANGUAGE", None)
        return env

    def picferry(self, side, dest):
        """Copy-phase seconds of a session import into dest; raises on a failed run."""
        shutil.rmtree(os.path.join(self.home, "state"), ignore_errors=True)
        process = subprocess.Popen([self.binaries[side], "session"], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                   env=self.env())
        try:
            line = read_line(process, 120)
            if not line or json.loads(line)["type"] != "detected":
                raise RuntimeError(f"expected detected, got {line!r}")
            start = time.monotonic()
            process.stdin.write(json.dumps({"cmd": "import", "dest": dest}).encode() + b"\n")
            process.stdin.flush()
            while True:
                line = read_line(process, 600)
                if line is None:
                    raise RuntimeError("the session ended without done")
                if line.startswith(b'{"type":"done"'):
                    break
            seconds = time.monotonic() - start
            done = json.loads(line)
            process.stdin.close()
            status = process.wait(timeout=60)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
        if status != 0 or done.get("downloaded") != self.files:
            raise RuntimeError(f"status {status}, {done}")
        return seconds

    def run_rsync(self, dest):
        start = time.monotonic()
        status = subprocess.run([self.rsync, "-r", "--fsync",
                                 os.path.join(self.camera, "DCIM"), dest],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL).returncode
        seconds = time.monotonic() - start
        if status != 0:
            raise RuntimeError(f"rsync status {status}")
        return seconds

    def check(self, dest):
        count = 0
        for folder, _, names in os.walk(dest):
            for name in names:
                if os.path.getsize(os.path.join(folder, name)) != self.kib * KIB:
                    raise RuntimeError(f"{name}: wrong size")
                count += 1
        if count != self.files:
            raise RuntimeError(f"{count} files in the destination, not {self.files}")

    def run(self):
        self.make_camera()
        tools = ["A", "B", "rsync"]
        results = {}
        failures = []
        for kind in self.dests:
            point = self.make_dest(kind)
            journal = self.journal(point)
            print(f"{kind}: {point}, journal: {journal or 'none'}", flush=True)
            for round_ in range(self.rounds):
                order = tools[round_ % 3:] + tools[:round_ % 3]
                for tool in order:
                    dest = os.path.join(point, "dest")
                    shutil.rmtree(dest, ignore_errors=True)
                    self.settle()
                    try:
                        if tool == "rsync":
                            seconds = self.run_rsync(dest)
                        else:
                            seconds = self.picferry(tool, dest)
                        start = time.monotonic()
                        os.sync()
                        synced = time.monotonic() - start
                        self.check(dest)
                    except (RuntimeError, OSError, subprocess.SubprocessError) as e:
                        print(f"{kind} round {round_ + 1} {tool}: FAILED {e}", flush=True)
                        failures.append((kind, round_ + 1, tool, str(e)))
                        continue
                    finally:
                        shutil.rmtree(dest, ignore_errors=True)
                    results[kind, tool, round_] = (seconds, synced)
                    print(f"{kind} round {round_ + 1} {tool:5s} {seconds:7.3f} s  "
                          f"(then sync {synced:.3f} s)", flush=True)
        return results, failures

    def report(self, results, failures):
        name = {"A": "A " + self.binaries["A"], "B": "B " + self.binaries["B"],
                "rsync": "rsync -r --fsync"}
        print()
        print(f"{self.files} files x {self.kib} KiB, {self.rounds} rounds; medians")
        for kind in self.dests:
            print()
            print(f"{kind}:")
            print()
            print("| tool | s | then sync s | tool / rsync (per round) |")
            print("|---|---|---|---|")
            for tool in ("A", "B", "rsync"):
                rounds = [r for r in range(self.rounds) if (kind, tool, r) in results]
                if not rounds:
                    print(f"| {name[tool]} | no runs | | |")
                    continue
                t = statistics.median(results[kind, tool, r][0] for r in rounds)
                s = statistics.median(results[kind, tool, r][1] for r in rounds)
                ratios = [results[kind, tool, r][0] / results[kind, "rsync", r][0]
                          for r in rounds if (kind, "rsync", r) in results]
                ratio = f"{statistics.median(ratios):.2f}" if ratios else "-"
                print(f"| {name[tool]} | {t:.3f} | {s:.3f} | {ratio} |")
            ab = [results[kind, "B", r][0] / results[kind, "A", r][0] for r in range(self.rounds)
                  if (kind, "A", r) in results and (kind, "B", r) in results]
            if ab:
                print(f"\nB / A (per round, median): {statistics.median(ab):.3f}")
        for failure in failures:
            print("failed:", failure)


def main():
    if not os.environ.get("PICFERRY_RSYNC_COMPARE_NAMESPACE"):
        os.execvp("unshare", ["unshare", "-m", "--propagation", "private", "env",
                              "PICFERRY_RSYNC_COMPARE_NAMESPACE=1", sys.executable,
                              os.path.abspath(__file__)] + sys.argv[1:])
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("binary_a")
    parser.add_argument("binary_b")
    parser.add_argument("--files", type=int, default=4000)
    parser.add_argument("--kib", type=int, default=10)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--dests", default="ext4,disk")
    args = parser.parse_args()
    bench = Bench(args)
    try:
        results, failures = bench.run()
    finally:
        bench.close()
    bench.report(results, failures)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
