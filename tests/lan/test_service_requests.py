"""VXI-11 service requests end to end: vornlan under Wine against the simulated module, a client of this
test's own (pyvisa-py 0.8.1 has no VXI-11 service requests) with an interrupt server on 127.0.0.1 that
takes vornlan's device_intr_srq. Its own ports; every connection goes to loopback.

Run by ctest (tests/lan.cmake) with VORN_BIN and VORN_WINE_RUN set.
"""
import os
import queue
import socket
import struct
import sys
import threading

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from vornlan_process import VornlanProcess  # noqa: E402

HTTP_PORT, RAW_PORT, VXI11_PORT = 18071, 15071, 11071
CORE, INTERRUPT = 0x0607AF, 0x0607B1
CREATE_LINK, DEVICE_WRITE, DEVICE_READ, DEVICE_READSTB = 10, 11, 12, 13
DEVICE_ENABLE_SRQ, CREATE_INTR_CHAN, DESTROY_INTR_CHAN, DEVICE_INTR_SRQ = 20, 25, 26, 30
END = 0x08


def opaque(data):
    return struct.pack(">I", len(data)) + data + b"\0" * (-len(data) % 4)


def take_opaque(data, at):
    (length,) = struct.unpack_from(">I", data, at)
    return data[at + 4:at + 4 + length], at + 4 + length + (-length % 4)


def read_record(sock):
    """One record's bytes (its fragments joined), or None when the peer closed."""
    record = b""
    while True:
        header = read_exactly(sock, 4)
        if header is None:
            return None
        (word,) = struct.unpack(">I", header)
        body = read_exactly(sock, word & 0x7FFFFFFF)
        if body is None:
            return None
        record += body
        if word & 0x80000000:
            return record


def read_exactly(sock, count):
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            return None
        data += chunk
    return data


class CoreClient:
    """The core channel of one connection: ONC RPC calls with AUTH_NONE, one at a time."""

    def __init__(self, host="127.0.0.1", port=VXI11_PORT):
        self.sock = socket.create_connection((host, port), timeout=20)
        self.xid = 0

    def call(self, procedure, arguments):
        self.xid += 1
        message = struct.pack(">10I", self.xid, 0, 2, CORE, 1, procedure, 0, 0, 0, 0) + arguments
        self.sock.sendall(struct.pack(">I", 0x80000000 | len(message)) + message)
        reply = read_record(self.sock)
        xid, kind, status = struct.unpack_from(">3I", reply)
        assert (xid, kind, status) == (self.xid, 1, 0)
        _, at = take_opaque(reply, 16)  # the verifier's body
        (accepted,) = struct.unpack_from(">I", reply, at)
        assert accepted == 0
        return reply[at + 4:]

    def error(self, procedure, arguments):
        return struct.unpack_from(">I", self.call(procedure, arguments))[0]

    def create_link(self):
        error, lid, _, _ = struct.unpack(">4I", self.call(CREATE_LINK, struct.pack(">iII", 1, 0, 0) + opaque(b"inst0")))
        assert error == 0
        return lid

    def write(self, lid, text):
        return self.error(DEVICE_WRITE, struct.pack(">4I", lid, 10000, 0, END) + opaque(text.encode()))

    def read(self, lid):
        reply = self.call(DEVICE_READ, struct.pack(">6I", lid, 4096, 10000, 0, 0, 0))
        error, _ = struct.unpack_from(">2I", reply)
        assert error == 0
        return take_opaque(reply, 8)[0].decode().rstrip("\n")

    def readstb(self, lid):
        return struct.unpack(">2I", self.call(DEVICE_READSTB, struct.pack(">4I", lid, 0, 0, 10000)))

    def create_intr_chan(self, port, address=None, family=0):
        """To `address` (by default this client's own, as the core connection has it)."""
        if address is None:
            address = struct.unpack(">I", socket.inet_aton(self.sock.getsockname()[0]))[0]
        return self.error(CREATE_INTR_CHAN, struct.pack(">5I", address, port, INTERRUPT, 1, family))

    def close(self):
        self.sock.close()


class InterruptServer:
    """The client's interrupt program (on 127.0.0.1 unless told): each call vornlan sends, and each connection's
    end."""

    def __init__(self, host="127.0.0.1"):
        self.listener = socket.create_server((host, 0))
        self.port = self.listener.getsockname()[1]
        self.calls = queue.Queue()
        self.ended = queue.Queue()
        self.connections = 0
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            self.connections += 1
            threading.Thread(target=self.take, args=(connection,), daemon=True).start()

    def take(self, connection):
        with connection:
            while (record := read_record(connection)) is not None:
                _, kind, version, program, program_version, procedure = struct.unpack_from(">6I", record)
                _, at = take_opaque(record, 28)  # the credential's body
                _, at = take_opaque(record, at + 4)  # the verifier's
                handle, _ = take_opaque(record, at)
                self.calls.put((kind, version, program, program_version, procedure, handle))
        self.ended.put(True)

    def close(self):
        self.listener.close()


@pytest.fixture(scope="module")
def lan():
    server = VornlanProcess(["--http-port", str(HTTP_PORT), "--raw-port", str(RAW_PORT), "--vxi11-port",
                             str(VXI11_PORT), "--no-portmapper", "--hislip-port", "0", "--no-mdns"],
                            prefix="vornlan-srq-")
    yield server
    server.stop()


@pytest.fixture
def interrupts():
    server = InterruptServer()
    yield server
    server.close()


def test_opc_asks_for_service_over_the_interrupt_channel_and_readstb_shows_it(lan, interrupts):
    client = CoreClient()
    try:
        lid = client.create_link()
        # Never to a third address, never over UDP.
        assert client.create_intr_chan(interrupts.port, address=0x0A000001) == 5
        assert client.create_intr_chan(interrupts.port, family=1) == 8
        assert client.create_intr_chan(interrupts.port) == 0
        assert client.error(DEVICE_ENABLE_SRQ, struct.pack(">2I", lid, 1) + opaque(b"vorn-srq")) == 0

        assert client.write(lid, "*ESE 1;*SRE 32;VORN:CONFIG 1,7,16,1;:VORN:CLEAN;*OPC") == 0
        assert interrupts.calls.get(timeout=20) == (0, 2, INTERRUPT, 1, DEVICE_INTR_SRQ, b"vorn-srq")
        # RQS (bit 6) and ESB: the serial poll and *STB? agree.
        assert client.readstb(lid) == (0, 0x60)
        assert client.write(lid, "*STB?") == 0
        assert client.read(lid) == "96"
        assert client.write(lid, "*ESR?") == 0
        assert client.read(lid) == "1"
        assert client.readstb(lid) == (0, 0)
        assert interrupts.calls.empty()

        # A response waiting to be read asks too, with MAV enabled.
        assert client.write(lid, "*SRE 16;*IDN?") == 0
        assert interrupts.calls.get(timeout=20)[-1] == b"vorn-srq"
        assert client.readstb(lid) == (0, 0x50)
        assert client.read(lid).startswith("VORN,")

        assert client.error(DESTROY_INTR_CHAN, b"") == 0
        assert interrupts.ended.get(timeout=20)
        assert client.error(DESTROY_INTR_CHAN, b"") == 6
    finally:
        client.close()
    assert interrupts.connections == 1


def test_the_interrupt_channel_ends_with_its_core_connection(lan, interrupts):
    client = CoreClient()
    lid = client.create_link()
    assert client.create_intr_chan(interrupts.port) == 0
    assert client.error(DEVICE_ENABLE_SRQ, struct.pack(">2I", lid, 1) + opaque(b"h")) == 0
    assert client.write(lid, "*ESE 1;*SRE 32;*OPC") == 0
    assert interrupts.calls.get(timeout=20)[-1] == b"h"
    client.close()
    assert interrupts.ended.get(timeout=20)
