"""Emulated USB devices for the end-to-end tests, served by fake_libusb.cpp.

A `UsbBus` mounts a tmpfs over /sys/bus (root, inside a private mount namespace: run under
`unshare -m --propagation private`) and keeps a folder of device files; `plug` writes a
device's sysfs entry (busnum, devnum, idVendor, idProduct: what picferry's browser and its
Apple route rule read) and its device file, `unplug` removes both. Only a process started
with `bus.env()` sees the devices: its libusb is the stand-in one.
"""

import os
import shutil
import itertools
import subprocess
import tempfile

MIB = 1 << 20
_PLUGS = itertools.count(1)

PROFILES = {
    # profile: (vendor, product)
    "iphone": (0x05AC, 0x12A8),   # libgphoto2: "Apple iPhone 5 (PTP mode)"
    "android": (0x18D1, 0x4EE1),  # a Pixel in "File transfer" (MTP) mode
    "camera": (0x04A9, 0x32FF),   # a Canon unknown to libgphoto2's tables: "USB PTP Class Camera"
}

_PATTERN_BASE = None


def _pattern_base():
    global _PATTERN_BASE
    if _PATTERN_BASE is None:
        _PATTERN_BASE = bytes((((i * 2654435761) & 0xFFFFFFFF) >> 24) for i in range(MIB))
    return _PATTERN_BASE


def pattern_block(index):
    """MiB number `index` of generated content (see patternByte in fake_libusb.cpp)."""
    return index.to_bytes(8, "little") + _pattern_base()[8:]


def pattern_bytes(size):
    """The first `size` bytes of generated content (for small sizes)."""
    blocks = [pattern_block(i) for i in range((size + MIB - 1) // MIB)]
    return b"".join(blocks)[:size]


def matches_pattern(path, size):
    """Whether the file at `path` is exactly `size` bytes of generated content."""
    if os.stat(path).st_size != size:
        return False
    with open(path, "rb") as source:
        index = 0
        while True:
            block = source.read(MIB)
            if not block:
                return True
            if block != pattern_block(index)[:len(block)]:
                return False
            index += 1


class Device:
    """One plugged-in emulated device."""

    def __init__(self, bus, address, profile, root, switches, generated, duplicates, name,
                 serial=None):
        self.bus = bus
        self.address = address
        self.profile = profile
        self.root = root
        self.port = "usb:001,%03d" % address
        self.sysfs = "/sys/bus/usb/devices/1-%d" % address
        self.conf = os.path.join(bus.folder, "1-%d.conf" % address)
        self.switches = dict(switches)
        self.generated = list(generated)
        self.duplicates = list(duplicates)
        self.name = name
        self.plug_number = None
        self.serial = serial

    def _write(self):
        vendor, product = PROFILES[self.profile]
        lines = ["plug %d-%d" % (os.getpid(), self.plug_number), "bus 1", "address %d" % self.address, "vendor %04x" % vendor,
                 "product %04x" % product, "profile " + self.profile, "sysfs " + self.sysfs]
        if self.root:
            lines.append("root " + self.root)
        if self.name:
            lines.append("name " + self.name)
        for path, size, mtime in self.generated:
            lines.append("generated %d %d %s" % (size, mtime, path))
        for path, host in self.duplicates:
            lines.append('duplicate "%s" %s' % (host, path))
        for key, value in self.switches.items():
            lines.append("%s %s" % (key, int(value) if isinstance(value, bool) else value))
        temporary = self.conf + ".new"
        with open(temporary, "w", encoding="utf-8") as out:
            out.write("\n".join(lines) + "\n")
        os.rename(temporary, self.conf)  # atomically: the library may read it at any time

    def plug(self):
        self.plug_number = next(_PLUGS)  # the library takes a new number for a replug
        os.makedirs(self.sysfs)
        for name, value in (("busnum", "1"), ("devnum", str(self.address)),
                            ("idVendor", "%04x" % PROFILES[self.profile][0]),
                            ("idProduct", "%04x" % PROFILES[self.profile][1]),
                            ("serial", self.serial)):
            if value is None:
                continue  # a device without a serial number string has no such file
            with open(os.path.join(self.sysfs, name), "w") as out:
                out.write(value + "\n")
        self._write()
        return self

    def set(self, **switches):
        """Changes fault switches while plugged in (busy, unlock_at, ...)."""
        self.switches.update(switches)
        self._write()

    def unplug(self):
        for path in (self.conf, self.conf + ".claim"):
            try:
                os.unlink(path)
            except FileNotFoundError:
                pass
        shutil.rmtree(self.sysfs, ignore_errors=True)

    @property
    def plugged(self):
        return os.path.exists(self.conf)


class UsbBus:
    """The emulated bus: a tmpfs over /sys/bus and a folder of device files."""

    def __init__(self, library_dir):
        self.library_dir = library_dir
        self.folder = tempfile.mkdtemp(prefix="picferry-usb.")
        self._next_address = 2
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "picferry-sysbus", "/sys/bus"],
                       check=True)
        os.makedirs("/sys/bus/usb/devices")
        self.devices = []

    def env(self, base=None):
        """The environment of a process that is to see the emulated devices."""
        environment = dict(os.environ if base is None else base)
        environment["LD_LIBRARY_PATH"] = self.library_dir + (
            ":" + environment["LD_LIBRARY_PATH"] if environment.get("LD_LIBRARY_PATH") else "")
        environment["PICFERRY_USB_EMULATOR"] = self.folder
        # usbmuxd must not answer, or Apple devices are routed to AFC.
        environment["USBMUXD_SOCKET_ADDRESS"] = "UNIX:" + os.path.join(self.folder, "no-usbmuxd")
        return environment

    def plug(self, profile, root=None, generated=(), duplicates=(), name=None, serial=None,
             **switches):
        """Plugs in a device of `profile` serving the host folder `root` (its files and
        folders at the storage root); `generated` adds (device path, size, mtime) objects of
        generated content, `duplicates` (device path, host file) objects of a name that may
        already be taken; `serial` is its descriptor's serial number string (sysfs `serial`),
        none by default. Switches: busy, unlock_at (wall-clock seconds, -1 never),
        events_delay (seconds from the storage change at unlock to its events, negative:
        before), events_lost, unplug_after, stall_after (object bytes), one_session."""
        address = self._next_address
        self._next_address += 1
        device = Device(self, address, profile, root, switches, generated, duplicates, name,
                        serial)
        self.devices.append(device)
        return device.plug()

    def close(self):
        for device in self.devices:
            device.unplug()
        subprocess.run(["umount", "-l", "/sys/bus"], check=False)
        shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def host_log(bus):
    """What the host did, from the emulator's log: [(wall time, word, [numbers])]."""
    path = os.path.join(bus.folder, "host.log")
    entries = []
    if os.path.exists(path):
        with open(path, encoding="utf-8") as log:
            for line in log:
                parts = line.split()
                entries.append((float(parts[0]), parts[1], [int(p) for p in parts[2:]]))
    return entries
