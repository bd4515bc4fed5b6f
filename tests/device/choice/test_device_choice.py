"""The built binary choosing among several devices: two iPhones behind one fake usbmuxd, a
tmpfs card and emulated USB cameras, attached together; and two imports at once.

Usage (root): test_device_choice.py BINARY LIBDIR [unittest options], LIBDIR holding the
stand-in libusb-1.0.so.0. Run by hand it re-runs itself inside a private mount namespace;
ctest starts it in one. Cases named slow_* run only with PICFERRY_SLOW_TESTS=1.
"""

import json
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import picferry_harness as harness  # noqa: E402
from picferry_harness import T0, BinaryTest, slow, through_usbmuxd  # noqa: E402
from fake_phone import FakePhone, FakeUsbmuxd  # noqa: E402
from tmpfs_camera import Camera  # noqa: E402
from usb_emulator import host_log  # noqa: E402

ZOE = "00008110-000A1B2C3D4E5F60"
BEA = "00008030-0011223344556677"


def files_in(folder):
    """{name: bytes} of every file under `folder`."""
    found = {}
    for parent, _, names in os.walk(folder):
        for name in names:
            with open(os.path.join(parent, name), "rb") as source:
                found[name] = source.read()
    return found


class ChoiceTest(BinaryTest):
    """Zoë's and Bea's iPhones, a card, a Canon with a serial number and one without."""

    def setUp(self):
        super().setUp()
        self.bus = self.usb_bus()
        self.mux = FakeUsbmuxd(self.usbmuxd).start()
        self.addCleanup(self.mux.stop)
        self.phones = {}
        for number, (udid, name) in enumerate(((ZOE, "Zoë's iPhone"), (BEA, "Bea's iPhone"))):
            self.phones[udid] = FakePhone(None, self.tree(udid, {
                "DCIM/100APPLE/IMG_%04d.JPG" % i: os.urandom(50_000 + 1000 * i + number)
                for i in range(6)}), name=name, mux=self.mux, udid=udid, device_id=10 + number)
        self.card = Camera("CARD")
        self.addCleanup(self.card.close)
        for i in range(5):
            self.card.add("100CANON/CRD_%04d.JPG" % i, os.urandom(70_000 + i), T0 + i)
        self.canon = self.bus.plug("camera", self.tree("canon", {
            "DCIM/100CANON/CAN_0001.JPG": os.urandom(30_000)}), serial="A1B2C3D4E5F6")
        self.nameless = self.bus.plug("camera", self.tree("other", {
            "DCIM/100CANON/OTH_0001.JPG": os.urandom(20_000)}), name="Canon EOS 5D")
        # Every attached device, by id: (route, name, the files it holds).
        self.attached = {
            ZOE: ("usbmuxd", "Zoë's iPhone", files_in(self.phones[ZOE].folder)),
            BEA: ("usbmuxd", "Bea's iPhone", files_in(self.phones[BEA].folder)),
            "A1B2C3D4E5F6": ("usb", "USB PTP Class Camera", files_in(self.canon.root)),
            "usb:1-3": ("usb", "USB PTP Class Camera", files_in(self.nameless.root)),
            self.card.path: ("mounted", "CARD", files_in(self.card.dcim)),
        }

    def tree(self, name, files):
        return harness.tree(os.path.join(self.work, name), files)

    def environment(self):
        return through_usbmuxd(self.usbmuxd, self.bus.env())

    def devices(self):
        status, events, seconds = self.run_binary("devices")
        self.assertEqual(status, 0)
        # At most 3 s after the start, plus a sanitized build's start and exit on a busy
        # machine.
        self.assertLess(seconds, 4.5)
        return events

    def touched_usb(self, address):
        """The processes that opened or claimed the emulated device at `address`."""
        return {numbers[1] for _, word, numbers in host_log(self.bus)
                if word in ("open", "claim") and numbers[0] == address}


class DevicesTest(ChoiceTest):
    def test_each_device_is_listed_once_in_the_fixed_order_with_a_stable_id(self):
        expected = [{"type": "device", "id": id, "name": name, "route": route}
                    for id, (route, name, _) in self.attached.items()]
        order = {"usbmuxd": 0, "usb": 1, "mounted": 2}
        expected.sort(key=lambda event: (order[event["route"]], event["id"].encode()))
        self.assertEqual(self.devices(), expected)
        self.assertEqual(self.devices(), expected)
        self.assertEqual(self.touched_usb(self.canon.address), set(), "listing opens nothing")
        # Replugged into another port, the Canon keeps its id; the device without a
        # serial number is named by its port, now another one.
        self.canon.unplug()
        self.nameless.unplug()
        self.bus.plug("camera", self.canon.root, serial="A1B2C3D4E5F6")
        ids = {event["id"] for event in self.devices()}
        self.assertIn("A1B2C3D4E5F6", ids)
        self.assertNotIn("usb:1-3", ids)

    def test_nothing_attached_lists_nothing(self):
        for phone in self.phones.values():
            phone.unplug()  # the daemon stays, with no phone
        for device in list(self.bus.devices):
            device.unplug()
        self.card.close()
        self.assertEqual(self.devices(), [])


class TakeTest(ChoiceTest):
    def test_device_takes_exactly_the_device_named_in_every_run(self):
        ids = list(self.attached)
        usb = {"A1B2C3D4E5F6": self.canon.address, "usb:1-3": self.nameless.address}
        for run in range(10):
            wanted = ids[run % len(ids)]
            with self.subTest(run=run, device=wanted):
                connections = {udid: phone.connections for udid, phone in self.phones.items()}
                opened = {id: self.touched_usb(address) for id, address in usb.items()}
                dest = os.path.join(self.work, "dest%d" % run)
                status, events, _ = self.run_binary("import", "--dest", dest, "--device", wanted)
                self.assertEqual(status, 0, events)
                self.assertEqual(files_in(dest), self.attached[wanted][2])
                # Every other device was left alone: never connected to, opened or claimed.
                for udid, phone in self.phones.items():
                    self.assertEqual(phone.connections > connections[udid], udid == wanted, udid)
                for id, address in usb.items():
                    self.assertEqual(self.touched_usb(address) != opened[id], id == wanted, id)

    def test_without_device_the_same_device_in_every_run(self):
        # Bea's UDID comes first among the iPhones, which come first.
        for run in range(5):
            with self.subTest(run=run):
                status, events, _ = self.run_binary("detect")
                self.assertEqual((status, events[0].get("device")), (0, "Bea's iPhone"), events)
        self.assertEqual(self.phones[ZOE].count("StartSession"), 0)

    @slow
    def test_slow_a_device_that_is_not_attached_ends_no_device_at_the_watchdog(self):
        status, events, seconds = self.run_binary("detect", "--device", "00008110-0000000000000000",
                                                  timeout=70)
        self.assertEqual(status, 1)
        self.assertEqual(events, [{"type": "error", "code": "no_device",
                                   "message": "No iPhone found. Connect, unlock, and tap Trust."}])
        self.assertGreater(seconds, 39)
        self.assertEqual(sum(phone.connections for phone in self.phones.values()), 0)
        self.assertEqual(self.touched_usb(self.canon.address), set())


class AtOnceTest(ChoiceTest):
    """Two imports at once, each with its own --device, each byte-exact."""

    def import_together(self, *ids):
        processes = []
        for index, wanted in enumerate(ids):
            dest = os.path.join(self.work, "together%d" % index)
            processes.append((wanted, dest, self.start("import", "--dest", dest,
                                                       "--device", wanted)))
        for wanted, dest, process in processes:
            status, out, err = process.finish(timeout=120)
            self.assertEqual((status, err), (0, b""), out)
            done = json.loads(out.splitlines()[-1])
            self.assertEqual(done["downloaded"], len(self.attached[wanted][2]), done)
            self.assertEqual(files_in(dest), self.attached[wanted][2], wanted)

    def test_an_iphone_and_a_card(self):
        self.import_together(ZOE, self.card.path)

    def test_two_iphones(self):
        self.import_together(ZOE, BEA)

    def test_two_usb_cameras_each_claimed_by_its_own_process_only(self):
        self.import_together("A1B2C3D4E5F6", "usb:1-3")
        self.assertEqual(len(self.touched_usb(self.canon.address)), 1)
        self.assertEqual(len(self.touched_usb(self.nameless.address)), 1)


class IphoneOverUsbTest(BinaryTest):
    def test_an_iphone_has_its_udid_on_both_routes(self):
        bus = self.usb_bus()
        phone = os.path.join(self.work, "phone")
        os.makedirs(os.path.join(phone, "DCIM"))
        bus.plug("iphone", phone, serial=ZOE.replace("-", ""))

        def devices(environment):
            status, events, _ = self.run_binary("devices", timeout=30, env=environment)
            self.assertEqual(status, 0)
            return [(event["id"], event["route"]) for event in events]
        self.assertEqual(devices(bus.env()), [(ZOE, "usb")])
        self.fake_phone(phone, udid=ZOE)  # the same phone, through usbmuxd as well
        self.assertEqual(devices(through_usbmuxd(self.usbmuxd, bus.env())), [(ZOE, "usbmuxd")])


if __name__ == "__main__":
    harness.main(libdir=True)
