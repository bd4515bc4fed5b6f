"""Fake iPhones behind a fake usbmuxd: usbmuxd, lockdownd and AFC over one Unix socket.

libusbmuxd finds it through USBMUXD_SOCKET_ADDRESS=UNIX:<socket>. No root. Each phone serves a
folder of the host as its file system (the folder holds DCIM/...), under its own UDID, usbmuxd
device number and name. `FakePhone(socket, folder)` is one phone behind a usbmuxd of its own;
`FakeUsbmuxd(socket)` with `FakePhone(None, folder, mux=..., udid=..., device_id=...)` puts
several behind one daemon, as when several iPhones are plugged into one computer.

A host that paired during the run gets a TLS lockdown session, as from a real phone: the phone
presents the DeviceCertificate of that host's pair record with its own private key, and asks
for a client certificate issued by the record's RootCertificate (libimobiledevice's idevice.c
presents the root certificate and key of the pair record it read back from usbmuxd). A bad
pair record therefore fails here as it would on a phone. Hosts paired before the run (the
default) have no certificates, and their sessions stay plain. AFC is plain, as on a phone.

Switches for the phone's refusals:

  locked_refusals        StartSession and Pair answer PasswordProtected this many times
                         (-1: for ever), then the phone is unlocked
  trust_pending_refusals Pair answers PairingDialogResponsePending this many times (-1: for
                         ever), then Trust is tapped; the phone starts unpaired (unless forgotten)
  trust_denied           Pair answers UserDeniedPairing; the phone starts unpaired (unless
                         forgotten)
  forgotten              the host holds a pair record the phone has forgotten: StartSession
                         answers InvalidHostID until the host pairs again
  detach_after_bytes     once this many file bytes were served, the phone is unplugged
  refused_folders        READ_DIR of these paths answers AFC_E_PERM_DENIED (10), as a phone
                         does for a folder it keeps from AFC
  unplug_at              (kind, n): the phone is unplugged as it receives the n-th request of
                         this kind (an AFC operation, "READ_DIR", "FILE_INFO", ..., or a
                         lockdownd request, "StartSession", ...), left unanswered: a cable
                         pulled at that moment
  stalled_folders        READ_DIR of these paths is never answered (a phone that hangs)
  listed_as              {phone path: name}: READ_DIR lists the file under this name, which may
                         hold "/", and the folder's path joined with the name reaches it. AFC
                         lists a folder as NUL-ended names that libimobiledevice passes on as
                         they are: nothing in the protocol keeps a "/" out of one
  short_files            reads of these paths end (an empty read, AFC's end of file) halfway
                         through, as when a file shrinks or its reading stops early
  bytes_per_second       file reads are answered no faster than this, on the phone's own
                         clock, as over a cable: on USB 2 an iPhone gives some 35 MB/s (a
                         4 GiB video takes about two minutes)
  request_latency        every AFC request is answered this many seconds late at the
                         least, as a phone's file service takes a while for each request

What the host asked for can be read while it runs: `received` counts the requests by kind
(`count`), `served` lists the phone paths of the files it opened for reading, in order.

Run by hand: fake_phone.py SOCKET FOLDER [--name NAME] [--locked N] ...; SIGUSR1 unplugs it.
"""

import argparse
import collections
import io
import os
import plistlib
import posixpath
import signal
import socket
import ssl
import struct
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
LOCKDOWN_PORT = 62078
AFC_PORT = 49200
DEVICE_ID = 7
UDID = "00008110-000A1B2C3D4E5F60"
BUID = "4C0AC3FD-2D8F-4B4E-9C2E-FAKEHOSTBUID"
AFC_MAGIC = b"CFA6LPAA"
AFC_STATUS, AFC_DATA, AFC_READ_DIR, AFC_FILE_INFO = 0x01, 0x02, 0x03, 0x0A
AFC_FILE_OPEN, AFC_FILE_OPEN_RES, AFC_FILE_READ, AFC_FILE_CLOSE = 0x0D, 0x0E, 0x0F, 0x14
AFC_FILE_SEEK = 0x11
AFC_OPERATIONS = {AFC_READ_DIR: "READ_DIR", AFC_FILE_INFO: "FILE_INFO", AFC_FILE_OPEN: "FILE_OPEN",
                  AFC_FILE_READ: "FILE_READ", AFC_FILE_SEEK: "FILE_SEEK",
                  AFC_FILE_CLOSE: "FILE_CLOSE"}
AFC_E_SUCCESS, AFC_E_UNKNOWN_PACKET, AFC_E_NOT_FOUND, AFC_E_PERM_DENIED = 0, 6, 8, 10


def swap16(port):
    return ((port & 0xFF) << 8) | (port >> 8)


def read_exactly(conn, size):
    data = b""
    while len(data) < size:
        chunk = conn.recv(size - len(data))
        if not chunk:
            raise ConnectionError("closed")
        data += chunk
    return data


class FakeUsbmuxd:
    """The daemon: lists the phones plugged in, tells its listeners of each plug and unplug,
    keeps the host's pair records (by UDID) and hands a connection to the phone it names."""

    def __init__(self, socket_path):
        self.lock = threading.Lock()
        self.phones = {}  # usbmuxd device number -> FakePhone, plugged in
        self.listeners = []
        self.pair_records = {}
        self.server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.server.bind(socket_path)
        self.server.listen(16)
        self.thread = threading.Thread(target=self._accept, daemon=True)

    def start(self):
        self.thread.start()
        return self

    def stop(self):
        try:
            self.server.shutdown(socket.SHUT_RDWR)  # wakes the accepting thread: no more clients
        except OSError:
            pass
        self.server.close()
        with self.lock:
            phones = list(self.phones.values())
            for conn in self.listeners:
                FakePhone._close(conn)
        for phone in phones:
            phone.close_connections()

    def plug(self, phone):
        """The phone is plugged in: listeners get Attached, as from the real daemon."""
        with self.lock:
            self.phones[phone.device_id] = phone
            self._tell_listeners({"MessageType": "Attached", "DeviceID": phone.device_id,
                                  "Properties": phone.properties()})

    def unplugged(self, phone):
        with self.lock:
            if self.phones.get(phone.device_id) is phone:
                del self.phones[phone.device_id]
                self._tell_listeners({"MessageType": "Detached", "DeviceID": phone.device_id})

    def _tell_listeners(self, message):
        for conn in self.listeners:
            try:
                _send_mux(conn, message, 0)
            except OSError:
                pass

    def _accept(self):
        while True:
            try:
                conn, _ = self.server.accept()
            except OSError:
                return
            threading.Thread(target=self._serve_mux, args=(conn,), daemon=True).start()

    def _serve_mux(self, conn):
        try:
            while True:
                length, _, _, tag = struct.unpack("<IIII", read_exactly(conn, 16))
                request = plistlib.loads(read_exactly(conn, length - 16))
                if self._mux_request(conn, request, tag):
                    return
        except (ConnectionError, OSError, ValueError):
            conn.close()

    def _mux_request(self, conn, request, tag):
        """Answers one usbmuxd request; True once the connection was handed over."""
        kind = request.get("MessageType")
        def result(number):
            _send_mux(conn, {"MessageType": "Result", "Number": number}, tag)

        if kind == "ListDevices":
            with self.lock:
                devices = [{"DeviceID": number, "MessageType": "Attached",
                            "Properties": phone.properties()}
                           for number, phone in self.phones.items()]
            _send_mux(conn, {"DeviceList": devices}, tag)
        elif kind == "Listen":
            result(0)
            with self.lock:
                self.listeners.append(conn)
                for number, phone in self.phones.items():
                    _send_mux(conn, {"MessageType": "Attached", "DeviceID": number,
                                     "Properties": phone.properties()}, 0)
        elif kind == "ReadBUID":
            _send_mux(conn, {"BUID": BUID}, tag)
        elif kind == "ReadPairRecord":
            record = self.pair_records.get(request.get("PairRecordID"))
            if record is None:
                result(2)
            else:
                _send_mux(conn, {"PairRecordData": record}, tag)
        elif kind == "SavePairRecord":
            self.pair_records[request["PairRecordID"]] = request["PairRecordData"]
            result(0)
        elif kind == "DeletePairRecord":
            self.pair_records.pop(request.get("PairRecordID"), None)
            result(0)
        elif kind == "Connect":
            port = swap16(request.get("PortNumber", 0))
            with self.lock:
                phone = self.phones.get(request.get("DeviceID"))
            if phone is None or port not in (LOCKDOWN_PORT, AFC_PORT) or \
                    not phone.take_connection(conn):
                result(3)
                return False
            result(0)
            (phone.serve_lockdown if port == LOCKDOWN_PORT else phone.serve_afc)(conn)
            return True
        else:
            result(1)
        return False


# usbmuxd: a 16-byte little-endian header (length, version, type 8, tag), then a plist.
def _send_mux(conn, message, tag):
    payload = plistlib.dumps(message, fmt=plistlib.FMT_XML)
    conn.sendall(struct.pack("<IIII", 16 + len(payload), 1, 8, tag) + payload)


class FakePhone:
    def __init__(self, socket_path, folder, name="Zoë's iPhone", locked_refusals=0,
                 trust_pending_refusals=0, trust_denied=False, forgotten=False,
                 detach_after_bytes=None, refused_folders=(), unplug_at=None,
                 stalled_folders=(), short_files=(), listed_as=None, bytes_per_second=None,
                 request_latency=0, mux=None, udid=UDID, device_id=DEVICE_ID):
        self.folder = folder
        self.name = name
        self.udid = udid
        self.device_id = device_id
        self.locked_refusals = locked_refusals
        self.trust_pending_refusals = trust_pending_refusals
        self.trust_denied = trust_denied
        self.detach_after_bytes = detach_after_bytes
        self.refused_folders = set(refused_folders)
        self.unplug_at = unplug_at
        self.received = collections.Counter()  # requests by kind, AFC and lockdownd
        self.served = []  # the phone paths of the files opened for reading, in order
        self.stalled_folders = set(stalled_folders)
        self.short_files = set(short_files)
        self.listed_as = dict(listed_as or {})
        self.listed_paths = {posixpath.join(posixpath.dirname(path), name): path
                             for path, name in self.listed_as.items()}
        self.bytes_per_second = bytes_per_second
        self.request_latency = request_latency
        self.link_free_at = 0.0  # when the cable has carried every answer sent so far
        self.attached = True
        self.bytes_served = 0
        self.connections = 0  # usbmuxd connections handed to this phone
        self.lock = threading.Lock()
        self.device_connections = []
        self.known_hosts = set()
        self.host_certificates = {}  # HostID -> the PairRecord its Pair request sent
        self.tls_sessions = 0  # sessions whose TLS handshake succeeded
        self.own_mux = mux is None
        self.mux = FakeUsbmuxd(socket_path) if mux is None else mux
        if forgotten or not (trust_pending_refusals or trust_denied):
            record = {"HostID": "FAKE-HOST-1", "SystemBUID": BUID}
            self.mux.pair_records[udid] = plistlib.dumps(record, fmt=plistlib.FMT_BINARY)
            if not forgotten:
                self.known_hosts.add("FAKE-HOST-1")
        self.mux.plug(self)

    @property
    def thread(self):
        return self.mux.thread

    def start(self):
        if self.own_mux:
            self.mux.start()
        return self

    def stop(self):
        if self.own_mux:
            self.mux.stop()
        else:
            self.close_connections()

    def close_connections(self):
        with self.lock:
            for conn in self.device_connections:
                self._close(conn)

    def count(self, request):
        with self.lock:
            return self.received[request]

    def _receive(self, kind):
        """Counts a request of `kind`; True when it unplugs the phone (it is left unanswered)."""
        with self.lock:
            self.received[kind] += 1
            unplug = self.unplug_at == (kind, self.received[kind])
        if unplug:
            self.unplug()
        return unplug

    def unplug(self):
        """Detaches the phone: its streams close and listeners are told."""
        with self.lock:
            if not self.attached:
                return
            self.attached = False
            for conn in self.device_connections:
                self._close(conn)
        self.mux.unplugged(self)

    def take_connection(self, conn):
        """A usbmuxd connection handed to this phone; False once it is unplugged."""
        with self.lock:
            if not self.attached:
                return False
            self.connections += 1
            self.device_connections.append(conn)
            return True

    @staticmethod
    def _close(conn):
        try:
            conn.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        conn.close()

    def properties(self):
        return {"ConnectionType": "USB", "DeviceID": self.device_id, "LocationID": 0,
                "ProductID": 0x12A8, "SerialNumber": self.udid, "ConnectionSpeed": 480000000}

    # lockdownd: a 4-byte big-endian length, then a plist.
    def serve_lockdown(self, conn):
        while True:
            (length,) = struct.unpack(">I", read_exactly(conn, 4))
            request = plistlib.loads(read_exactly(conn, length))
            name = request.get("Request")
            if self._receive(name):
                return
            reply = {"Request": name}
            reply.update(self._lockdown_reply(name, request))
            payload = plistlib.dumps(reply, fmt=plistlib.FMT_XML)
            conn.sendall(struct.pack(">I", len(payload)) + payload)
            if reply.get("EnableSessionSSL"):
                conn = self._replace(conn, self._start_tls(conn, self.host_certificates[request["HostID"]]))
            elif name == "StopSession" and isinstance(conn, ssl.SSLSocket):
                conn = self._replace(conn, conn.unwrap())

    def _replace(self, old, new):
        """Keeps `new`, which now owns the stream of `old`, among the connections unplug closes."""
        with self.lock:
            self.device_connections = [new if c is old else c for c in self.device_connections]
        return new

    def _start_tls(self, conn, record):
        """The phone's side of the session's TLS, with the certificates of `record`."""
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.set_ciphers("DEFAULT:@SECLEVEL=0")  # the certificates are signed with SHA-1
        context.minimum_version = ssl.TLSVersion.TLSv1
        with tempfile.NamedTemporaryFile() as certificate:
            certificate.write(record["DeviceCertificate"])
            certificate.flush()
            # Fails unless the certificate holds the phone's public key.
            context.load_cert_chain(certificate.name, os.path.join(HERE, "device_private_key.pem"))
        context.verify_mode = ssl.CERT_REQUIRED
        context.load_verify_locations(cadata=record["RootCertificate"].decode())
        conn = context.wrap_socket(conn, server_side=True)
        with self.lock:
            self.tls_sessions += 1
        return conn

    def _refusal(self, counter):
        """Consumes one refusal of `counter`; True when this request is refused."""
        remaining = getattr(self, counter)
        if remaining == 0:
            return False
        if remaining > 0:
            setattr(self, counter, remaining - 1)
        return True

    def _lockdown_reply(self, name, request):
        if name == "QueryType":
            return {"Type": "com.apple.mobile.lockdown"}
        if name == "GetValue":
            values = {"DeviceName": self.name, "ProductVersion": "17.5",
                      "ProductType": "iPhone15,2", "UniqueDeviceID": self.udid,
                      "WiFiAddress": "02:00:00:0a:1b:2c"}
            with open(os.path.join(HERE, "device_public_key.pem"), "rb") as key:
                values["DevicePublicKey"] = key.read()
            key = request.get("Key")
            if key not in values:
                return {"Key": key, "Error": "MissingValue"}
            return {"Key": key, "Value": values[key]}
        if name == "Pair":
            if self._refusal("locked_refusals"):
                return {"Error": "PasswordProtected"}
            if self.trust_denied:
                return {"Error": "UserDeniedPairing"}
            if self._refusal("trust_pending_refusals"):
                return {"Error": "PairingDialogResponsePending"}
            record = request["PairRecord"]
            self.known_hosts.add(record["HostID"])
            self.host_certificates[record["HostID"]] = record
            return {}
        if name == "Unpair":
            return {}
        if name == "StartSession":
            if request.get("HostID") not in self.known_hosts:
                return {"Error": "InvalidHostID"}
            if self._refusal("locked_refusals"):
                return {"Error": "PasswordProtected"}
            paired_here = request["HostID"] in self.host_certificates
            return {"SessionID": "FAKE-SESSION", "EnableSessionSSL": paired_here}
        if name == "StartService":
            if request.get("Service") != "com.apple.afc":
                return {"Error": "InvalidService"}
            return {"Service": "com.apple.afc", "Port": AFC_PORT, "EnableServiceSSL": False}
        return {}

    # AFC: a 40-byte little-endian header (magic, entire length, this length, packet number,
    # operation), then data.
    def serve_afc(self, conn):
        handles = {}
        try:
            self._serve_afc_packets(conn, handles)
        finally:
            for handle in handles.values():
                handle.close()

    def _serve_afc_packets(self, conn, handles):
        while True:
            header = read_exactly(conn, 40)
            if header[:8] != AFC_MAGIC:
                raise ConnectionError("bad AFC magic")
            entire, this, number, operation = struct.unpack("<QQQQ", header[8:])
            data = read_exactly(conn, entire - 40)
            if self._receive(AFC_OPERATIONS.get(operation, operation)):
                return
            if self.request_latency:
                time.sleep(self.request_latency)
            reply_op, reply = self._afc_reply(operation, data, handles)
            if reply_op is None:
                return
            conn.sendall(AFC_MAGIC + struct.pack("<QQQQ", 40 + len(reply), 40, number, reply_op)
                         + reply)

    @staticmethod
    def _phone_path(data):
        return data.split(b"\0", 1)[0].decode()

    def _path(self, data):
        phone_path = self._phone_path(data)
        phone_path = self.listed_paths.get(phone_path, phone_path)
        return os.path.join(self.folder, phone_path.lstrip("/"))

    def _pace(self, size):
        """Holds an answer of `size` bytes until the cable, at bytes_per_second, carried it."""
        if not self.bytes_per_second:
            return
        with self.lock:
            now = time.monotonic()
            self.link_free_at = max(self.link_free_at, now) + size / self.bytes_per_second
            wait = self.link_free_at - now
        time.sleep(wait)

    def _afc_reply(self, operation, data, handles):
        status = lambda code: (AFC_STATUS, struct.pack("<Q", code))
        if operation == AFC_READ_DIR:
            if self._phone_path(data) in self.stalled_folders:
                threading.Event().wait()
            if self._phone_path(data) in self.refused_folders:
                return status(AFC_E_PERM_DENIED)
            path = self._path(data)
            if not os.path.isdir(path):
                return status(AFC_E_NOT_FOUND)
            folder = self._phone_path(data)
            names = [".", ".."] + [self.listed_as.get(posixpath.join(folder, name), name)
                                   for name in os.listdir(path)]
            return AFC_DATA, b"".join(name.encode() + b"\0" for name in names)
        if operation == AFC_FILE_INFO:
            path = self._path(data)
            if not os.path.exists(path):
                return status(AFC_E_NOT_FOUND)
            st = os.stat(path)
            info = {"st_size": st.st_size, "st_blocks": (st.st_size + 511) // 512,
                    "st_nlink": 1, "st_ifmt": "S_IFDIR" if os.path.isdir(path) else "S_IFREG",
                    "st_mtime": st.st_mtime_ns, "st_birthtime": st.st_mtime_ns}
            return AFC_DATA, b"".join(b"%s\0%s\0" % (k.encode(), str(v).encode())
                                      for k, v in info.items())
        if operation == AFC_FILE_OPEN:
            path = self._path(data[8:])
            if not os.path.isfile(path):
                return status(AFC_E_NOT_FOUND)
            with self.lock:
                self.served.append(self._phone_path(data[8:]))
            handle = len(handles) + 1
            if self._phone_path(data[8:]) in self.short_files:
                with open(path, "rb") as source:
                    handles[handle] = io.BytesIO(source.read(os.path.getsize(path) // 2))
            else:
                handles[handle] = open(path, "rb")
            return AFC_FILE_OPEN_RES, struct.pack("<Q", handle)
        if operation == AFC_FILE_READ:
            handle, length = struct.unpack("<QQ", data[:16])
            chunk = handles[handle].read(length)
            self._pace(len(chunk))
            with self.lock:
                self.bytes_served += len(chunk)
                detach = self.detach_after_bytes is not None and \
                    self.bytes_served >= self.detach_after_bytes
            if detach:
                self.unplug()
                return None, None
            return AFC_DATA, chunk
        if operation == AFC_FILE_SEEK:  # handle, whence (SEEK_SET, SEEK_CUR, SEEK_END), offset
            handle, whence, offset = struct.unpack("<QQq", data[:24])
            if handle not in handles or whence not in (0, 1, 2):
                return status(AFC_E_UNKNOWN_PACKET)
            handles[handle].seek(offset, whence)
            return status(AFC_E_SUCCESS)
        if operation == AFC_FILE_CLOSE:
            (handle,) = struct.unpack("<Q", data[:8])
            handles.pop(handle).close()
            return status(AFC_E_SUCCESS)
        return status(AFC_E_UNKNOWN_PACKET)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("socket")
    parser.add_argument("folder")
    parser.add_argument("--name", default="Zoë's iPhone")
    parser.add_argument("--locked", type=int, default=0)
    parser.add_argument("--trust-pending", type=int, default=0)
    parser.add_argument("--trust-denied", action="store_true")
    parser.add_argument("--forgotten", action="store_true")
    parser.add_argument("--detach-after-bytes", type=int)
    args = parser.parse_args()
    phone = FakePhone(args.socket, args.folder, name=args.name, locked_refusals=args.locked,
                      trust_pending_refusals=args.trust_pending, trust_denied=args.trust_denied,
                      forgotten=args.forgotten, detach_after_bytes=args.detach_after_bytes)
    signal.signal(signal.SIGUSR1, lambda *_: phone.unplug())
    phone.start()
    phone.thread.join()


if __name__ == "__main__":
    main()
