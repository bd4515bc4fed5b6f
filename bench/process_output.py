"""Reading a benchmarked process's output without waiting on it for ever."""

import threading


def read_line(process, timeout):
    """One line of the process's output, or None at its end; the process is killed after
    timeout seconds without one."""
    timer = threading.Timer(timeout, process.kill)
    timer.start()
    try:
        return process.stdout.readline() or None
    finally:
        timer.cancel()
