"""What choosing the device costs and whether imports at once disturb each other.

1. Start-up: `picferry detect` of the first iPhone in the fixed order with `--device` (taken
   as soon as it is reported) against without (taken once every route has had its first
   look), rounds alternating; and `picferry devices` (ends with the first look).
2. Imports at once: an iPhone (the tests' fake phone) and a card, then two iPhones behind
   one fake usbmuxd, each imported alone and both together, each with its own --device;
   rounds alternate alone-A, alone-B, together. Every copy is checked byte for byte.

Usage (root, inside a private mount namespace: unshare -m --propagation private):
  bench/device_choice.py --binary build/release/picferry [--rounds 5] [--files 100] [--mib 2]
                         [--work /var/tmp]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
for folder in ("afc", "end_to_end"):
    sys.path.insert(0, os.path.join(HERE, "..", "tests", "device", folder))

from fake_phone import FakePhone, FakeUsbmuxd  # noqa: E402
from tmpfs_camera import Camera  # noqa: E402

ZOE = "00008110-000A1B2C3D4E5F60"
BEA = "00008030-0011223344556677"


def fill(folder, files, size):
    for i in range(files):
        path = os.path.join(folder, "100APPLE", "IMG_%04d.JPG" % i)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(os.urandom(size))


def same_tree(source, copy):
    names = sorted(os.listdir(copy))
    originals = {}
    for parent, _, found in os.walk(source):
        for name in found:
            originals[name] = os.path.join(parent, name)
    if sorted(originals) != names:
        return False
    for name in names:
        with open(originals[name], "rb") as a, open(os.path.join(copy, name), "rb") as b:
            if a.read() != b.read():
                return False
    return True


def start(binary, env, *args):
    return subprocess.Popen([binary, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env)


def finish(process):
    out, err = process.communicate(timeout=600)
    if process.returncode != 0 or err:
        raise SystemExit("picferry failed: %r %r" % (out[-500:], err[-500:]))
    return out


def timed(binary, env, *args):
    started = time.monotonic()
    finish(start(binary, env, *args))
    return time.monotonic() - started


def imports(binary, env, work, sources, rounds):
    """Median seconds of each import alone and together; every copy checked."""
    alone = {id: [] for id in sources}
    together = {id: [] for id in sources}
    for round_ in range(rounds):
        for id in sources:
            dest = os.path.join(work, "alone")
            alone[id].append(timed(binary, env, "import", "--dest", dest, "--device", id))
            assert same_tree(sources[id], dest), id
            shutil.rmtree(dest)
        started = time.monotonic()
        running = {id: start(binary, env, "import", "--dest", os.path.join(work, "t%d" % i),
                             "--device", id) for i, id in enumerate(sources)}
        ended = {}

        def wait(id, process):
            finish(process)
            ended[id] = time.monotonic() - started  # each its own end, not the other's
        waiters = [threading.Thread(target=wait, args=item) for item in running.items()]
        for waiter in waiters:
            waiter.start()
        for waiter in waiters:
            waiter.join()
        for i, id in enumerate(sources):
            together[id].append(ended[id])
            dest = os.path.join(work, "t%d" % i)
            assert same_tree(sources[id], dest), id
            shutil.rmtree(dest)
        print("round %d done" % (round_ + 1), file=sys.stderr)
    return {id: (statistics.median(alone[id]), statistics.median(together[id]))
            for id in sources}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--files", type=int, default=100)
    parser.add_argument("--mib", type=int, default=2)
    parser.add_argument("--work", default="/var/tmp",
                        help="where the destinations go (the machine's disk by default)")
    args = parser.parse_args()
    binary = os.path.abspath(args.binary)
    work = tempfile.mkdtemp(prefix="picferry-choice-bench.", dir=args.work)
    card = Camera("CARD", size="%dm" % (args.files * args.mib + 64))
    try:
        mux = FakeUsbmuxd(os.path.join(work, "usbmuxd")).start()
        phones = {}
        for number, udid in enumerate((ZOE, BEA)):
            folder = os.path.join(work, udid)
            fill(os.path.join(folder, "DCIM"), args.files, args.mib << 20)
            phones[udid] = FakePhone(None, folder, mux=mux, udid=udid, device_id=10 + number)
        fill(card.dcim, args.files, args.mib << 20)
        env = dict(os.environ, USBMUXD_SOCKET_ADDRESS="UNIX:" + os.path.join(work, "usbmuxd"),
                   HOME=work)

        with_id, without, devices = [], [], []
        for _ in range(args.rounds):
            with_id.append(timed(binary, env, "detect", "--device", BEA))
            without.append(timed(binary, env, "detect"))
            devices.append(timed(binary, env, "devices"))
        print("## Start-up (%d rounds, medians)\n" % args.rounds)
        print("| run | seconds |\n|---|---|")
        print("| detect --device (Bea's iPhone) | %.3f |" % statistics.median(with_id))
        print("| detect, fixed order (takes Bea's iPhone too) | %.3f |"
              % statistics.median(without))
        print("| difference: the wait for the first look | %.3f |"
              % statistics.median(b - a for a, b in zip(with_id, without)))
        print("| devices (3 devices) | %.3f |" % statistics.median(devices))
        print("\n## Imports at once (%d files of %d MiB each; %d rounds, medians)\n"
              % (args.files, args.mib, args.rounds))
        print("| pair | device | alone s | together s | together / alone |\n|---|---|---|---|---|")
        for label, sources in (("iPhone + card", {ZOE: os.path.join(work, ZOE),
                                                  card.path: card.dcim}),
                               ("two iPhones", {ZOE: os.path.join(work, ZOE),
                                                BEA: os.path.join(work, BEA)})):
            for id, (alone, together) in imports(binary, env, work, sources,
                                                 args.rounds).items():
                print("| %s | %s | %.2f | %.2f | %.2f |" % (label, id, alone, together,
                                                          together / alone))
        mux.stop()
    finally:
        card.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
