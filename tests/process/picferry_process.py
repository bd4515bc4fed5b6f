"""Runs the built picferry binary and captures what it says, byte for byte."""

import glob
import json
import os
import subprocess
import tempfile
import time

from event_schema import validate_output


class Run:
    """One process of the binary with pipes on all three descriptors."""

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

    def events(self):
        return [json.loads(line) for line in self.stdout.splitlines()]


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


def run(binary, *args, **kwargs):
    """Runs to the end with standard input closed."""
    process = Run(binary, *args, stdin=subprocess.DEVNULL, **kwargs)
    return process.finish()

