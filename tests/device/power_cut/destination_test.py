"""What the destination tests share: the binary, a private mount namespace, running it.

Usage (root): test_*.py BINARY [unittest options]. Run by hand, a test file re-runs itself
inside a private mount namespace; ctest starts it in one.
"""

import json
import os
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "end_to_end"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "process"))

from picferry_process import Run, bytes_written_into  # noqa: E402,F401  (re-exported for the test files)
from tmpfs_camera import MIB, Camera  # noqa: E402,F401

BINARY = None


class DestinationTest(unittest.TestCase):
    def start(self, *args, **kwargs):
        """A running process of the binary, killed at the end of the test if still alive.

        Arguments starting with the binary's path run it through a wrapper (setpriv...).
        """
        process = Run(*(args if BINARY in args else (BINARY, *args)), **kwargs)

        def stop():
            if process.process.poll() is None:
                process.process.kill()
                process.process.wait()
            for pipe in (process.process.stdin, process.process.stdout, process.process.stderr):
                if pipe:
                    pipe.close()
            process.home.cleanup()
        self.addCleanup(stop)
        return process

    def run_to_end(self, *args, timeout=60):
        """(status, stdout, stderr) of a run with standard input closed."""
        return self.start(*args, stdin=subprocess.DEVNULL).finish(timeout=timeout)


def read_event(process, timeout=30):
    line = process.read_line(timeout=timeout)
    if not line:
        raise AssertionError("standard output ended; so far %r" % process.stdout)
    return json.loads(line)


def read_bytes(path):
    with open(path, "rb") as source:
        return source.read()


def main():
    global BINARY
    if os.environ.get("PICFERRY_E2E_NAMESPACE") != "1":
        # Never mount in the caller's namespace: start again inside a private one.
        os.environ["PICFERRY_E2E_NAMESPACE"] = "1"
        script = os.path.abspath(sys.modules["__main__"].__file__)
        os.execvp("unshare", ["unshare", "-m", "--propagation", "private", sys.executable,
                              script, *sys.argv[1:]])
    BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main(module="__main__", verbosity=2)
