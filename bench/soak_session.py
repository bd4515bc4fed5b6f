"""A session against a demo camera left open for MINUTES after "detected" and
after a dropped import request; prints its resident memory once a minute.

Run inside a private mount namespace, as root: soak_session.py BINARY MINUTES
"""

import json
import os
import subprocess
import sys
import tempfile
import time


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def main():
    binary, minutes = sys.argv[1], int(sys.argv[2])
    root = os.path.dirname(os.path.abspath(__file__))
    with tempfile.TemporaryDirectory(prefix="picferry-soak.") as work:
        camera = os.path.join(work, "SOAK-CAMERA")
        os.mkdir(camera)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16m", "soak", camera], check=True)
        try:
            subprocess.run([sys.executable, os.path.join(root, "..", "scripts",
                                                         "make_demo_photos.py"),
                            os.path.join(camera, "DCIM"), "6"], check=True)
            env = dict(os.environ, HOME=work)
            process = subprocess.Popen([binary, "session"], stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE, env=env)
            detected = process.stdout.readline()
            assert json.loads(detected)["type"] == "detected", detected
            process.stdin.write(b'{"cmd":"import","dest":\n')  # not JSON: dropped
            process.stdin.flush()
            for minute in range(minutes + 1):
                print(json.dumps({"minute": minute, "rssKiB": resident_kib(process.pid)}),
                      flush=True)
                if minute < minutes:
                    time.sleep(60)
            assert process.poll() is None, "the session ended on its own"
            process.stdin.close()
            assert process.wait(timeout=10) == 0
        finally:
            subprocess.run(["umount", "-l", camera], check=False)


if __name__ == "__main__":
    main()
