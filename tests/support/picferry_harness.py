"""What every test of the built binary shares: its runs and what they say, the private mount
namespace, the stand-ins' start-up, and files written on the host.

A suite is run as test_*.py BINARY [LIBDIR] [--except PATTERN]... [unittest options] and ends
with `picferry_harness.main(...)`. `--except` leaves out the cases a `-k` PATTERN would pick,
so that one suite can run as several ctest entries side by side. Once this module is imported,
the stand-ins (fake_phone, usb_emulator, tmpfs_camera, disk_images) are importable by name.
Cases named slow_*, or marked @slow, run only with PICFERRY_SLOW_TESTS=1.

A case that shows a fault of picferry not yet mended asserts the sound behaviour and is marked
@unittest.expectedFailure, with a comment naming the fault: remove the mark once mended.
PICFERRY_SHOW_EXPECTED_FAILURES=1 runs the marked cases as ordinary ones.
"""

import fnmatch
import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import jsonschema

TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
for _folder in ("afc", "usb", "end_to_end", "power_cut"):
    sys.path.append(os.path.join(TESTS, "device", _folder))

from fake_phone import FakePhone  # noqa: E402
from usb_emulator import UsbBus  # noqa: E402
# Files written on the host: one writer, the camera stand-in's.
from tmpfs_camera import write  # noqa: E402

BINARY = None  # the built binary, from the command line
LIBDIR = None  # the folder of the stand-in libusb-1.0.so.0, for suites that take one
MIB = 1 << 20
T0 = 1_600_000_000  # a base for distinct, whole-second modification times
slow = unittest.skipUnless(os.environ.get("PICFERRY_SLOW_TESTS"),
                           "slow: set PICFERRY_SLOW_TESTS=1")

with open(os.path.join(TESTS, "..", "docs", "events.schema.json"), encoding="utf-8") as _schema:
    _SCHEMA = json.load(_schema)
jsonschema.Draft202012Validator.check_schema(_SCHEMA)
_EVENT = jsonschema.Draft202012Validator(_SCHEMA)


def main(namespace=True, libdir=False):
    """Runs the calling suite. One that mounts (`namespace`) starts again inside a private
    mount namespace unless it runs in one (ctest starts it there)."""
    global BINARY, LIBDIR
    if namespace and os.environ.get("PICFERRY_E2E_NAMESPACE") != "1":
        os.environ["PICFERRY_E2E_NAMESPACE"] = "1"
        script = os.path.abspath(sys.modules["__main__"].__file__)
        os.execvp("unshare", ["unshare", "-m", "--propagation", "private", sys.executable,
                              script, *sys.argv[1:]])
    BINARY = os.path.abspath(sys.argv.pop(1))
    if libdir:
        LIBDIR = os.path.abspath(sys.argv.pop(1))
    excepted = []
    while "--except" in sys.argv:
        at = sys.argv.index("--except")
        excepted.append(sys.argv.pop(at + 1))
        del sys.argv[at]
    if os.environ.get("PICFERRY_SHOW_EXPECTED_FAILURES") == "1":
        for case in vars(sys.modules["__main__"]).values():
            if isinstance(case, type) and issubclass(case, unittest.TestCase):
                for name in dir(case):
                    if name.startswith("test"):
                        getattr(case, name).__unittest_expecting_failure__ = False
    unittest.main(module="__main__", verbosity=2, testLoader=_Loader(excepted))


class _Loader(unittest.TestLoader):
    """Leaves out the cases that a pattern of `excepted` picks, as -k picks them."""

    def __init__(self, excepted):
        super().__init__()
        self.excepted = [pattern if "*" in pattern else "*%s*" % pattern for pattern in excepted]

    def getTestCaseNames(self, case):
        return [name for name in super().getTestCaseNames(case) if not any(
            fnmatch.fnmatchcase("%s.%s.%s" % (case.__module__, case.__qualname__, name), pattern)
            for pattern in self.excepted)]


def validate_output(stdout):
    """Raises unless stdout is lines of schema-valid events, each ending in one 0x0A."""
    if stdout and not stdout.endswith(b"\n"):
        raise AssertionError("output does not end with a line feed: %r" % stdout[-80:])
    for line in stdout.splitlines():
        if line.endswith(b"\r"):
            raise AssertionError("carriage return in %r" % line)
        _EVENT.validate(json.loads(line.decode("utf-8")))


class Run:
    """One process of the binary with pipes on all three descriptors (by default)."""

    def __init__(self, binary, *args, stdin=subprocess.PIPE, cwd=None, env=None):
        self.home = tempfile.TemporaryDirectory()
        environment = dict(os.environ if env is None else env)
        environment["HOME"] = self.home.name
        self.process = subprocess.Popen(
            [binary, *args], stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            cwd=cwd, env=environment)
        self.stdout = b""
        self.stderr = b""

    def send(self, data):
        self.process.stdin.write(data)
        self.process.stdin.flush()

    def read_line(self, timeout=20):
        """The next line of standard output (without waiting for the process to end)."""
        deadline = time.monotonic() + timeout
        line = b""
        fd = self.process.stdout.fileno()
        while not line.endswith(b"\n"):
            if time.monotonic() > deadline:
                raise TimeoutError("no line within %s s; got %r" % (timeout, line))
            chunk = os.read(fd, 1)
            if not chunk:
                break
            line += chunk
        self.stdout += line
        return line

    def signal(self, signo):
        self.process.send_signal(signo)

    def close_input(self):
        self.process.stdin.close()
        self.process.stdin = None

    def finish(self, timeout=60, keep_input_open=False):
        """Waits for the exit; returns (status, stdout bytes, stderr bytes).

        Standard input is closed first (end of input) unless keep_input_open.
        """
        held_input = self.process.stdin if keep_input_open else None
        if keep_input_open:
            self.process.stdin = None
        out, err = self.process.communicate(timeout=timeout)
        if held_input:
            held_input.close()
        self.stdout += out
        self.stderr += err
        self.home.cleanup()
        validate_output(self.stdout)
        return self.process.returncode, self.stdout, self.stderr

    def stop(self):
        """Kills the process if it still runs, reaps it and closes its pipes."""
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        for pipe in (self.process.stdin, self.process.stdout, self.process.stderr):
            if pipe:
                pipe.close()
        self.home.cleanup()

    def events(self):
        return events_of(self.stdout)


def run(binary, *args, **kwargs):
    """Runs to the end with standard input closed."""
    return Run(binary, *args, stdin=subprocess.DEVNULL, **kwargs).finish()


def events_of(out):
    return [json.loads(line) for line in out.splitlines()]


def read_event(process, timeout=30):
    line = process.read_line(timeout=timeout)
    if not line:
        raise AssertionError("standard output ended; so far %r" % process.stdout)
    return json.loads(line)


def import_events(names, dest, downloaded, skipped, unavailable):
    """The exact events of an import handling `names` in this order into `dest`."""
    events = [{"type": "progress", "done": index + 1, "total": len(names), "name": name}
              for index, name in enumerate(names)]
    events.append({"type": "done", "downloaded": downloaded, "skipped": skipped,
                   "unavailable": unavailable, "dest": dest})
    return events


def bytes_written_into(pid, folder):
    """How many bytes the process has in a file it holds open in `folder` (0 if none).

    Seen through /proc/PID/fd, so that an unnamed temporary file counts as much as a named one.
    """
    for link in glob.glob("/proc/%d/fd/*" % pid):
        try:
            target = os.readlink(link)
            if os.path.dirname(target) == folder:
                return os.stat(link).st_size
        except OSError:
            pass
    return 0


def wait_for_bytes_written(process, folder, at_least, timeout=60):
    """Waits until the process holds a file in `folder` (named or not) of `at_least` bytes."""
    deadline = time.monotonic() + timeout
    while bytes_written_into(process.process.pid, folder) < at_least:
        if time.monotonic() > deadline or process.process.poll() is not None:
            raise AssertionError("no file of %d bytes being written in %s" % (at_least, folder))
        time.sleep(0.002)


def tree(root, files):
    """Writes `files` under root, {relative path: content or (content, mtime)}; returns root."""
    os.makedirs(root, exist_ok=True)
    for relative, value in files.items():
        write(os.path.join(root, relative), *(value if isinstance(value, tuple) else (value,)))
    return root


def read_bytes(path):
    with open(path, "rb") as source:
        return source.read()


def through_usbmuxd(socket, base=None):
    """The environment of a process that finds the (fake) usbmuxd at `socket`."""
    return dict(os.environ if base is None else base, USBMUXD_SOCKET_ADDRESS="UNIX:" + socket)


class BinaryTest(unittest.TestCase):
    """A work folder for each test, the binary's runs and stand-ins, none outliving it."""

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="picferry-test.")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.usbmuxd = os.path.join(self.work, "usbmuxd")  # where a fake phone listens

    def environment(self):
        """The environment of the binary's runs: where the stand-ins are to be found."""
        return None

    def start(self, *args, stdin=None, env=None, **kwargs):
        """A running process of the binary, killed at the end of the test if still alive.

        Arguments holding the binary's path run it through a wrapper (setpriv...). Standard
        input is a pipe for a session and nothing for the other modes, unless given.
        """
        if stdin is None:
            stdin = subprocess.PIPE if "session" in args else subprocess.DEVNULL
        process = Run(*(args if BINARY in args else (BINARY, *args)), stdin=stdin,
                      env=self.environment() if env is None else env, **kwargs)
        self.addCleanup(process.stop)
        return process

    def run_to_end(self, *args, timeout=60, **kwargs):
        """(status, stdout, stderr) of a run to its end."""
        return self.start(*args, **kwargs).finish(timeout=timeout)

    def run_binary(self, *args, timeout=60, **kwargs):
        """Runs to the end; (status, events, seconds). Standard error must stay empty."""
        started = time.monotonic()
        status, out, err = self.run_to_end(*args, timeout=timeout, **kwargs)
        self.assertEqual(err, b"", out)
        return status, events_of(out), time.monotonic() - started

    def fake_phone(self, folder, **switches):
        """A fake phone serving `folder` behind a usbmuxd of its own at self.usbmuxd."""
        phone = FakePhone(self.usbmuxd, folder, **switches).start()
        self.addCleanup(phone.stop)
        return phone

    def usb_bus(self):
        """The emulated USB bus, served by the stand-in libusb in LIBDIR (root)."""
        bus = UsbBus(LIBDIR)
        self.addCleanup(bus.close)
        return bus
