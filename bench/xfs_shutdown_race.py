#!/usr/bin/env python3
"""XFS shut down without a log flush at a random moment of an import: is every counted file there?

Usage (root):
    bench/xfs_shutdown_race.py [--runs N] [--until HH:MM] [--seed S] [--log FILE] \
        [--shutdown exec|ready] LABEL=BINARY [LABEL=BINARY ...]
    bench/xfs_shutdown_race.py --summarize LOG [LOG ...]

Runs N times per binary (300 by default), the binaries taking turns (one run of the first,
one of the second, ...), until the runs are done or the UTC time HH:MM has passed (then
the runs so far are reported). Every run makes everything anew, inside a private mount
namespace (the script starts itself again under `unshare -m --propagation private`):

- a camera: a tmpfs with DCIM/100APPLE/ holding 30 files of random bytes (20-60 KB, each
  its own modification time), which picferry reads as mounted storage;
- a scratch tmpfs holding a sparse 300 MiB image, `mkfs.xfs -q -f`, loop-mounted;
- a scratch HOME;
- `picferry import --dest MOUNT/photos --device CAMERA` with standard input /dev/null.

After a random number of progress lines (0..25) and a random delay (0..5 ms), the file system
is shut down WITHOUT flushing its log (xfs_io's `shutdown` without `-f`, which would flush it
first), in one of two forms:
- `--shutdown exec` (the default): `xfs_io -x -c shutdown MOUNT` is started then. Starting
  xfs_io takes milliseconds to tens of milliseconds on a loaded machine, as long as the whole
  copy of 30 small files, so the shutdown often lands after the last file.
- `--shutdown ready`: `xfs_io -x MOUNT` is started with picferry and reads `shutdown` on its
  standard input then; the same ioctl a few milliseconds sooner.
picferry runs to its end; the image is then copied (`cp --sparse=always`) and the copy
mounted (`-o nouuid`), which replays its log: what a remount after a dying disk finds. The
files counted are the first `downloaded` names of the progress lines (counted files come
first); each must be there with the camera's bytes.

Each run is one of:
- ok: every counted file is there, byte for byte;
- lost: some counted file is missing or differs, while others of the run's files are there;
- none-visible: files were counted but the remount shows none of the run's files at all;
- excluded: the shutdown failed no file (every file counted): it came after the import's
  last flush, `done` often already written (both are told apart); still checked;
- no-done / mount-failed: picferry did not end with `done` / the copy did not mount.

One JSON line per run goes to the log (--log, by default /var/tmp/xfs_shutdown_race.<time>.jsonl),
and a table per binary to standard output at the end.
"""

import argparse
import ctypes
import datetime
import json
import os
import random
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

FILE_COUNT = 30
IMAGE_SIZE = 300 * 1024 * 1024  # mkfs.xfs refuses file systems under 300 MB
MAX_LINES_BEFORE_SHUTDOWN = 25
MAX_DELAY_MS = 5.0
MAX_DELAY_AFTER_OPEN_MS = 50.0
IN_OPEN = 0x20
IN_ISDIR = 0x40000000
CAMERA_NAME = "RACE-CAM"


def run_quiet(*command):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def unmount(path):
    if subprocess.run(["umount", path], stderr=subprocess.DEVNULL).returncode != 0:
        subprocess.run(["umount", "-l", path], stderr=subprocess.DEVNULL)


class Cleanup:
    """Undo actions, run last first."""

    def __init__(self):
        self.actions = []

    def push(self, action):
        self.actions.append(action)

    def run(self):
        while self.actions:
            action = self.actions.pop()
            try:
                action()
            except Exception as error:  # keep undoing the rest
                print("cleanup: %s" % error, file=sys.stderr)


def tmpfs(cleanup, parent, name, size):
    path = os.path.join(parent, name)
    os.mkdir(path)
    cleanup.push(lambda: os.rmdir(path))
    run_quiet("mount", "-t", "tmpfs", "-o", "size=" + size, "xfs-race", path)
    cleanup.push(lambda: unmount(path))
    return path


def loop_mount(cleanup, image, folder, options=()):
    device = subprocess.run(["losetup", "--find", "--show", image], check=True,
                            capture_output=True, text=True).stdout.strip()
    cleanup.push(lambda: subprocess.run(["losetup", "--detach", device]))
    os.mkdir(folder)
    cleanup.push(lambda: os.rmdir(folder))
    result = subprocess.run(["mount", *options, device, folder], capture_output=True, text=True)
    if result.returncode != 0:
        return result.stderr.strip() or "mount exited %d" % result.returncode
    cleanup.push(lambda: unmount(folder))
    return None


class Lines:
    """Standard output of a process, line by line, each with the time it was read.

    A thread reads all the time, so that the times are right even while the main thread
    waits for something else (xfs_io).
    """

    def __init__(self, fd):
        self.fd = fd
        self.buffer = b""
        self.ended = False
        self.lines = []
        self.times = []  # time.monotonic() at which each line was read
        self.condition = threading.Condition()
        self.thread = threading.Thread(target=self._read_all, daemon=True)
        self.thread.start()

    def _read_all(self):
        while True:
            try:
                chunk = os.read(self.fd, 65536)
            except OSError:
                chunk = b""
            now = time.monotonic()
            with self.condition:
                self.buffer += chunk
                while b"\n" in self.buffer:
                    line, self.buffer = self.buffer.split(b"\n", 1)
                    self.lines.append(line)
                    self.times.append(now)
                if not chunk:
                    self.ended = True
                self.condition.notify_all()
            if not chunk:
                return

    def wait_for(self, predicate, timeout):
        """Waits until predicate(lines) or the end of the output; False on timeout."""
        with self.condition:
            return self.condition.wait_for(lambda: self.ended or predicate(self.lines), timeout)

    def snapshot(self):
        with self.condition:
            return list(self.lines)


def is_type(line, kind):
    try:
        return json.loads(line).get("type") == kind
    except ValueError:
        return False


def watch_opens(folder):
    """An inotify descriptor that tells when something in folder is opened."""
    libc = ctypes.CDLL(None, use_errno=True)
    fd = libc.inotify_init1(os.O_CLOEXEC)
    if fd < 0 or libc.inotify_add_watch(fd, folder.encode(), IN_OPEN) < 0:
        raise OSError(ctypes.get_errno(), "inotify on " + folder)
    return fd


def wait_for_file_open(fd, timeout):
    """Waits until a file (not the folder itself) is opened in the watched folder."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not select.select([fd], [], [], 1)[0]:
            continue
        events = os.read(fd, 65536)
        offset = 0
        while offset + 16 <= len(events):
            _, mask, _, length = struct.unpack_from("iIII", events, offset)
            if length and not mask & IN_ISDIR:
                return True
            offset += 16 + length
    return False


def one_run(binary, rng, work_root, ready_shutdown, trigger, max_delay_ms):
    record = {}
    cleanup = Cleanup()
    parent = tempfile.mkdtemp(prefix="xfs-race.", dir=work_root)
    cleanup.push(lambda: shutil.rmtree(parent, ignore_errors=True))
    try:
        # The camera: 30 files of random bytes, each its own modification time.
        camera = tmpfs(cleanup, parent, CAMERA_NAME, "16m")
        folder = os.path.join(camera, "DCIM", "100APPLE")
        os.makedirs(folder)
        files = {}
        for index in range(FILE_COUNT):
            name = "IMG_%04d.JPG" % (index + 1)
            content = os.urandom(rng.randint(20_000, 60_000))
            path = os.path.join(folder, name)
            with open(path, "wb") as out:
                out.write(content)
            mtime = 1_600_000_000 + 60 * index
            os.utime(path, (mtime, mtime))
            files[name] = content

        # The destination: a new XFS in a sparse image on a scratch tmpfs.
        scratch = tmpfs(cleanup, parent, "scratch", "700m")
        image = os.path.join(scratch, "xfs.img")
        with open(image, "wb") as out:
            out.truncate(IMAGE_SIZE)
        run_quiet("mkfs.xfs", "-q", "-f", image)
        mount_point = os.path.join(parent, "xfs")
        error = loop_mount(cleanup, image, mount_point)
        if error:
            raise RuntimeError("the new image did not mount: " + error)
        dest = os.path.join(mount_point, "photos")

        home = os.path.join(parent, "home")
        os.mkdir(home)
        lines_before = rng.randint(0, MAX_LINES_BEFORE_SHUTDOWN) if trigger == "lines" else None
        delay_ms = rng.uniform(0, max_delay_ms)
        record.update(trigger=trigger, lines_before=lines_before, delay_ms=round(delay_ms, 3))
        if trigger == "copy":
            watch = watch_opens(folder)
            cleanup.push(lambda: os.close(watch))

        process = subprocess.Popen(
            [binary, "import", "--dest", dest, "--device", camera],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            env=dict(os.environ, HOME=home))
        cleanup.push(lambda: process.poll() is None and (process.kill(), process.wait()))
        out = Lines(process.stdout.fileno())
        started = time.monotonic()
        shutter = None
        if ready_shutdown:
            # xfs_io started now, told `shutdown` on its standard input when the time comes:
            # no process start between the decision and the shutdown.
            shutter = subprocess.Popen(["xfs_io", "-x", mount_point], stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            cleanup.push(lambda: shutter.poll() is None and (shutter.kill(), shutter.wait()))

        def progress_count(lines):
            return sum(1 for line in lines if is_type(line, "progress"))

        if trigger == "lines":
            out.wait_for(lambda lines: progress_count(lines) >= lines_before
                         or any(is_type(line, "done") for line in lines), timeout=120)
        else:
            # The first camera file opened: the copies start.
            wait_for_file_open(watch, 120)
            record["first_open_ms"] = round((time.monotonic() - started) * 1000, 1)
        target = time.monotonic() + delay_ms / 1000.0
        while time.monotonic() < target:
            pass
        # What picferry had written when the shutdown was asked for (as read by then).
        seen = out.snapshot()
        record["progress_before_shutdown"] = progress_count(seen)
        record["done_before_shutdown"] = any(is_type(line, "done") for line in seen)
        record["exited_before_shutdown"] = process.poll() is not None
        asked = time.monotonic()
        if shutter:
            shut_out, shut_err = shutter.communicate(b"shutdown\n", timeout=60)
            shut_status = shutter.returncode
        else:
            shutdown = subprocess.run(["xfs_io", "-x", "-c", "shutdown", mount_point],
                                      capture_output=True)
            shut_out, shut_err, shut_status = shutdown.stdout, shutdown.stderr, shutdown.returncode
        answered = time.monotonic()
        if shut_status != 0 or shut_err or shut_out:
            raise RuntimeError("xfs_io shutdown: %d %r %r" % (shut_status, shut_out, shut_err))
        ms = lambda at: round((at - started) * 1000, 1)  # noqa: E731
        record.update(shutdown_asked_ms=ms(asked), shutdown_done_ms=ms(answered))

        out.wait_for(lambda lines: False, timeout=180)
        out.thread.join(timeout=5)
        try:
            status = process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            status = process.wait()
        stderr = process.stderr.read()
        record["status"] = status
        if stderr:
            record["stderr"] = stderr.decode(errors="replace")[-400:]
        events = []
        for line in out.lines:
            try:
                events.append(json.loads(line))
            except ValueError:
                events.append({"type": "?", "line": line.decode(errors="replace")})
        names = [e["name"] for e in events if e.get("type") == "progress"]
        progress_times = [at for at, e in zip(out.times, events) if e.get("type") == "progress"]
        if progress_times:
            record.update(first_progress_ms=ms(progress_times[0]),
                          last_progress_ms=ms(progress_times[-1]),
                          progress_by_shutdown_done=sum(1 for at in progress_times
                                                        if at <= answered))
        if not events or events[-1].get("type") != "done":
            record["class"] = "no-done"
            record["tail"] = events[-2:]
            return record
        done = events[-1]
        downloaded = done["downloaded"]
        record.update(downloaded=downloaded, unavailable=done["unavailable"],
                      skipped=done["skipped"])
        counted = names[:downloaded]

        # The shut-down disk writes nothing more: a copy of it is what a remount finds.
        after = os.path.join(scratch, "after.img")
        run_quiet("cp", "--sparse=always", image, after)
        remounted = os.path.join(parent, "after")
        error = loop_mount(cleanup, after, remounted, ["-o", "nouuid"])
        if error:
            record["class"] = "mount-failed"
            record["mount_error"] = error[-400:]
            return record
        photos = os.path.join(remounted, "photos")
        present = set(os.listdir(photos)) if os.path.isdir(photos) else set()
        record["photos_folder"] = os.path.isdir(photos)
        record["visible"] = len(present & set(files))
        missing, differing = [], []
        for position, name in enumerate(counted):
            path = os.path.join(photos, name)
            if name not in present:
                missing.append(position)
                continue
            with open(path, "rb") as source:
                if source.read() != files[name]:
                    differing.append(position)
        record.update(missing=missing, differing=differing)
        if downloaded == len(files):
            verdict = "excluded"
        elif not counted:
            verdict = "ok"
        elif record["visible"] == 0:
            verdict = "none-visible"
        elif missing or differing:
            verdict = "lost"
        else:
            verdict = "ok"
        record["class"] = verdict
        record["lost_any"] = bool(missing or differing)
        return record
    finally:
        cleanup.run()


def summarize(records, labels):
    header = ("binary", "runs", "excluded: every file counted (done read before the shutdown)",
              "counted runs", "ok (nothing counted)", "lost (the last counted file only)", "none-visible",
              "no done", "copy did not mount", "script errors")
    text = "| " + " | ".join(header) + " |\n|" + "---|" * len(header) + "\n"
    for label in labels:
        mine = [r for r in records if r["binary"] == label]

        def count(verdict, among=mine):
            return sum(1 for r in among if r.get("class") == verdict)

        excluded = [r for r in mine if r.get("class") == "excluded"]
        excluded_cell = "%d (%d)" % (len(excluded), sum(1 for r in excluded
                                                        if r.get("done_before_shutdown")))
        lost_in_excluded = sum(1 for r in excluded if r.get("lost_any"))
        if lost_in_excluded:
            excluded_cell += ", %d of them with a loss" % lost_in_excluded
        lost = [r for r in mine if r.get("class") == "lost"]
        last_only = sum(1 for r in lost if not r["differing"]
                        and r["missing"] == [r["downloaded"] - 1])
        counted_runs = len(mine) - len(excluded) - count("error")
        nothing = sum(1 for r in mine if r.get("class") == "ok" and not r["downloaded"])
        cells = (label, len(mine), excluded_cell, counted_runs,
                 "%d (%d)" % (count("ok"), nothing),
                 "%d (%d)" % (len(lost), last_only), count("none-visible"), count("no-done"),
                 count("mount-failed"), count("error"))
        text += "| " + " | ".join(str(cell) for cell in cells) + " |\n"
    return text


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("binaries", nargs="*", metavar="LABEL=BINARY")
    parser.add_argument("--runs", type=int, default=300, help="runs per binary")
    parser.add_argument("--until", help="stop starting runs after this UTC time (HH:MM)")
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--log", default=None)
    parser.add_argument("--shutdown", choices=("exec", "ready"), default="exec",
                        help="exec: run `xfs_io -x -c shutdown MOUNT` when the time comes; "
                        "ready: start `xfs_io -x MOUNT` with picferry and write `shutdown` "
                        "to its standard input when the time comes")
    parser.add_argument("--trigger", choices=("lines", "copy"), default="lines",
                        help="lines: shut down after 0..25 progress lines and the delay; "
                        "copy: after the first camera file is opened and the delay")
    parser.add_argument("--max-delay-ms", type=float, default=None,
                        help="the delay is drawn from 0..this (5 with --trigger lines, "
                        "50 with --trigger copy)")
    parser.add_argument("--summarize", nargs="+", metavar="LOG",
                        help="print the tables of these logs (one per shutdown form) and exit")
    args = parser.parse_args()
    if args.summarize:
        records = []
        for path in args.summarize:
            with open(path) as log:
                records += [json.loads(line) for line in log if line.strip()]
        for form in ("exec", "ready"):
            for trigger in ("lines", "copy"):
                mine = [r for r in records if r.get("shutdown") == form
                        and r.get("trigger", "lines") == trigger]
                if mine:
                    labels = list(dict.fromkeys(r["binary"] for r in mine))
                    print("--shutdown %s --trigger %s\n\n%s" % (form, trigger,
                                                                 summarize(mine, labels)))
        return
    if not args.binaries:
        parser.error("no LABEL=BINARY")
    if args.max_delay_ms is None:
        args.max_delay_ms = MAX_DELAY_MS if args.trigger == "lines" else MAX_DELAY_AFTER_OPEN_MS

    if os.environ.get("XFS_RACE_NAMESPACE") != "1":
        if os.geteuid() != 0:
            sys.exit("root is needed (mounts, loop devices, xfs_io shutdown)")
        os.environ["XFS_RACE_NAMESPACE"] = "1"
        script = os.path.abspath(__file__)
        os.execvp("unshare", ["unshare", "-m", "--propagation", "private", sys.executable,
                              script, *sys.argv[1:]])

    # Stopped with SIGTERM, the run under way still unmounts and detaches what it made.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("terminated"))
    binaries = []
    for item in args.binaries:
        label, _, path = item.partition("=")
        if not path or not os.access(path, os.X_OK):
            sys.exit("not LABEL=BINARY with an executable: %s" % item)
        binaries.append((label, os.path.abspath(path)))
    labels = [label for label, _ in binaries]
    seed = args.seed if args.seed is not None else int.from_bytes(os.urandom(4), "little")
    rng = random.Random(seed)
    stop_at = None
    if args.until:
        now = datetime.datetime.now(datetime.timezone.utc)
        hour, minute = map(int, args.until.split(":"))
        stop_at = now.replace(hour=hour, minute=minute, second=0, microsecond=0)
        if stop_at <= now:
            stop_at += datetime.timedelta(days=1)
    log_path = args.log or "/var/tmp/xfs_shutdown_race.%s.jsonl" % time.strftime("%Y%m%dT%H%M%S")
    work_root = tempfile.mkdtemp(prefix="xfs-race-work.", dir="/tmp")
    print("seed %d; shutdown %s; trigger %s, delay 0..%g ms; log %s" % (
        seed, args.shutdown, args.trigger, args.max_delay_ms, log_path), flush=True)

    records = []
    started = time.monotonic()
    with open(log_path, "a") as log:
        for round_index in range(args.runs):
            if stop_at and datetime.datetime.now(datetime.timezone.utc) >= stop_at:
                print("stopped at --until after %d rounds" % round_index, flush=True)
                break
            for label, binary in binaries:
                run_started = time.monotonic()
                try:
                    record = one_run(binary, rng, work_root, args.shutdown == "ready",
                                     args.trigger, args.max_delay_ms)
                except Exception as error:
                    record = {"class": "error", "error": str(error)[-400:]}
                record.update(binary=label, round=round_index, shutdown=args.shutdown,
                              trigger=args.trigger,
                              seconds=round(time.monotonic() - run_started, 2))
                records.append(record)
                log.write(json.dumps(record) + "\n")
                log.flush()
                if record["class"] not in ("ok", "excluded"):
                    print("round %d %s: %s" % (round_index, label, json.dumps(record)),
                          flush=True)
            if (round_index + 1) % 25 == 0:
                print("%d rounds, %.0f s" % (round_index + 1, time.monotonic() - started),
                      flush=True)
    shutil.rmtree(work_root, ignore_errors=True)
    print("\n%d runs in %.0f s (seed %d, log %s)\n" % (
        len(records), time.monotonic() - started, seed, log_path))
    print(summarize(records, labels))


if __name__ == "__main__":
    main()
