"""The built binary: exact output bytes, exit statuses, signals and standard input.

Usage: test_process.py BINARY [unittest options]. No camera may be attached.
"""

import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import picferry_harness as harness  # noqa: E402
from picferry_harness import Run, run  # noqa: E402

USAGE = (b'{"type":"error","code":"bad_command",'
         b'"message":"usage: picferry detect|import --dest <dir>|session"}\n')


class CommandLineTest(unittest.TestCase):
    def test_rejected_command_lines_write_one_error_and_exit_2(self):
        cases = [
            ([], USAGE),
            (["Detect"], USAGE),
            (["--help"], USAGE),
            (["import"], b'{"type":"error","code":"bad_args","message":"missing --dest"}\n'),
            (["import", "--dest"], b'{"type":"error","code":"bad_args","message":"missing --dest"}\n'),
        ]
        for args, expected in cases:
            with self.subTest(args=args):
                status, out, err = run(harness.BINARY, *args)
                self.assertEqual((status, out, err), (2, expected, b""))

    def test_uncreatable_destination_is_dest_unwritable(self):
        with tempfile.NamedTemporaryFile() as blocker:
            status, out, err = run(harness.BINARY, "import", "--dest", blocker.name + "/photos")
        self.assertEqual(status, 1)
        self.assertEqual(err, b"")
        lines = out.splitlines()
        self.assertEqual(len(lines), 1)
        self.assertTrue(lines[0].startswith(b'{"type":"error","code":"dest_unwritable","message":"'))
        self.assertIn(blocker.name.replace("/", "\\/").encode(), lines[0])


class StopTest(unittest.TestCase):
    def test_session_with_closed_input_ends_at_once_silently(self):
        started = time.monotonic()
        self.assertEqual(run(harness.BINARY, "session"), (0, b"", b""))  # /dev/null
        process = Run(harness.BINARY, "session")
        process.close_input()  # a pipe whose writer has gone
        self.assertEqual(process.finish(timeout=10), (0, b"", b""))
        self.assertLess(time.monotonic() - started, 10)

    def test_cancel_before_any_import_is_silent(self):
        process = Run(harness.BINARY, "session")
        process.send(b'{"cmd":"import","dest":"/nonexistent/never"}\n{"cmd":"cancel"}\n')
        self.assertEqual(process.finish(timeout=10), (0, b"", b""))
        self.assertFalse(os.path.exists("/nonexistent/never"))

    def test_signal_before_an_import_is_silent(self):
        for signo in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=signo):
                process = Run(harness.BINARY, "detect")
                time.sleep(0.5)
                process.signal(signo)
                self.assertEqual(process.finish(timeout=10), (0, b"", b""))

    def test_signal_during_import_writes_the_summary(self):
        with tempfile.TemporaryDirectory() as parent:
            dest = os.path.join(parent, "new", "photos")
            process = Run(harness.BINARY, "import", "--dest", dest)
            deadline = time.monotonic() + 10
            while not os.path.isdir(dest) and time.monotonic() < deadline:
                time.sleep(0.05)
            process.signal(signal.SIGTERM)
            status, out, err = process.finish(timeout=10)
            escaped = dest.replace("/", "\\/").encode()
            self.assertEqual(
                (status, out, err),
                (0, b'{"type":"done","downloaded":0,"skipped":0,"unavailable":0,"dest":"'
                    + escaped + b'"}\n', b""))

    def test_relative_destination_is_taken_against_the_working_directory(self):
        with tempfile.TemporaryDirectory() as cwd:
            process = Run(harness.BINARY, "import", "--dest", "photos/", cwd=cwd)
            deadline = time.monotonic() + 10
            while not os.path.isdir(os.path.join(cwd, "photos")) and time.monotonic() < deadline:
                time.sleep(0.05)
            process.signal(signal.SIGINT)
            status, out, _ = process.finish(timeout=10)
            self.assertEqual(status, 0)
            self.assertEqual(process.events()[0]["dest"], os.path.join(cwd, "photos"))


def resident_mib(pid, field="VmHWM"):
    """The process's peak (VmHWM) or current (VmRSS) resident memory, in MiB."""
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    raise AssertionError("no %s for %d" % (field, pid))


# Under AddressSanitizer freed blocks wait in a quarantine of up to 256 MiB, which would
# count as resident memory the program no longer holds.
SMALL_QUARANTINE = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "")
                        + ":quarantine_size_mb=1")


class InputFloodTest(unittest.TestCase):
    """Input faster than the program handles it waits in the pipe, not in memory."""

    def assert_flood_is_bounded_and_cancel_still_counts(self, flood):
        process = Run(harness.BINARY, "session", env=SMALL_QUARANTINE)
        # What is resident from the start (the binary's own pages, which a sanitizer build
        # touches in good part; ThreadSanitizer's shadow memory) is no flood's: only growth
        # counts.
        time.sleep(0.5)
        base = resident_mib(process.process.pid, "VmRSS")
        try:
            flood(process)
            peak = resident_mib(process.process.pid)
            process.send(b'\n{"cmd":"cancel"}\n')
            self.assertEqual(process.finish(timeout=20), (0, b"", b""))
        finally:
            if process.process.poll() is None:
                process.process.kill()
                process.finish(timeout=10)
        self.assertLess(peak - base, 64)

    def test_ten_seconds_of_import_lines(self):
        line = json.dumps({"cmd": "import", "dest": "/nonexistent/flood"}).encode() + b"\n"
        block = line * (65536 // len(line))

        def flood(process):
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                process.send(block)
        self.assert_flood_is_bounded_and_cancel_still_counts(flood)

    def test_a_gibibyte_without_a_line_feed(self):
        block = b"x" * (1 << 20)

        def flood(process):
            for _ in range(1024):
                process.send(block)
        self.assert_flood_is_bounded_and_cancel_still_counts(flood)


class FullOutputTest(unittest.TestCase):
    def test_sigterm_ends_the_run_while_nobody_reads_a_full_standard_output(self):
        read_end, write_end = os.pipe()
        os.set_blocking(write_end, False)
        try:
            while True:
                os.write(write_end, b"f" * 4096)  # fills the pipe before the program starts
        except BlockingIOError:
            pass
        os.set_blocking(write_end, True)
        with tempfile.TemporaryDirectory() as parent:
            dest = os.path.join(parent, "photos")
            process = subprocess.Popen([harness.BINARY, "import", "--dest", dest],
                                       stdin=subprocess.DEVNULL, stdout=write_end,
                                       stderr=subprocess.PIPE, env=dict(os.environ, HOME=parent))
            os.close(write_end)
            try:
                deadline = time.monotonic() + 10
                while not os.path.isdir(dest) and time.monotonic() < deadline:
                    time.sleep(0.05)
                process.send_signal(signal.SIGTERM)  # "done" cannot be written
                self.assertEqual(process.wait(timeout=5), 0)
                self.assertEqual(process.stderr.read(), b"")
            finally:
                if process.poll() is None:
                    process.kill()
                    process.wait()
                process.stderr.close()
                os.close(read_end)


@unittest.skipUnless(os.environ.get("PICFERRY_SLOW_TESTS"), "slow: set PICFERRY_SLOW_TESTS=1")
class WatchdogTest(unittest.TestCase):
    def test_no_phone_ends_with_no_device_after_forty_seconds(self):
        started = time.monotonic()
        process = Run(harness.BINARY, "session")
        status, out, err = process.finish(timeout=60, keep_input_open=True)
        elapsed = time.monotonic() - started
        self.assertEqual(status, 1)
        self.assertEqual(err, b"")
        self.assertEqual(out, b'{"type":"error","code":"no_device",'
                              b'"message":"No iPhone found. Connect, unlock, and tap Trust."}\n')
        self.assertGreaterEqual(elapsed, 40.0)
        self.assertLess(elapsed, 45.0)


if __name__ == "__main__":
    harness.main(namespace=False)
