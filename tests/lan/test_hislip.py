"""vornlan's HiSLIP server end to end under Wine against the simulated module, driven by PyVISA with
pyvisa-py 0.8.1 (TCPIP::127.0.0.1::hislip0,<port>::INSTR) and, where PyVISA's HiSLIP session has no call for
it (locks, service requests, a message sent without END), by pyvisa-py's own HiSLIP protocol module
(pyvisa_py.protocols.hislip). The locks are checked across HiSLIP, VXI-11 (pyvisa-py's lock, its portmapper
look-up pointed at vornlan's own VXI-11 port) and the raw socket.

Run by ctest (tests/lan.cmake) with the tests' virtual environment; vornlan takes ports of its own, free
when the test starts, all on loopback.
"""
import os
import socket
import subprocess
import sys
import threading
import time

import pytest
import pyvisa
from pyvisa_py.protocols import hislip, rpc

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from vornlan_process import VornlanProcess  # noqa: E402

IDN = "VORN,EC-2P Simulated Module,SIM00001,01.002"
NO_ERROR = '+0,"No error"'


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


RAW_PORT, VXI11_PORT, HISLIP_PORT = free_port(), free_port(), free_port()
RESOURCE = f"TCPIP::127.0.0.1::hislip0,{HISLIP_PORT}::INSTR"


@pytest.fixture(scope="module")
def lan():
    server = VornlanProcess(["--raw-port", str(RAW_PORT), "--vxi11-port", str(VXI11_PORT), "--no-portmapper",
                             "--hislip-port", str(HISLIP_PORT), "--http-port", "0", "--no-mdns"],
                            prefix="vornlan-hislip-")
    yield server
    server.stop()


@pytest.fixture(scope="module")
def rm():
    manager = pyvisa.ResourceManager("@py")
    yield manager
    manager.close()


@pytest.fixture
def vxi11_direct(monkeypatch):
    """pyvisa-py asks the portmapper on 111 for VXI-11's port: tell it vornlan's own instead."""
    def connect(self, host, prog, vers, open_timeout=5000):
        rpc.RawTCPClient.__init__(self, host, prog, vers, VXI11_PORT, open_timeout)
    monkeypatch.setattr(rpc.TCPClient, "__init__", connect)


def open_hislip(rm, timeout=10000):
    session = rm.open_resource(RESOURCE, read_termination="\n", write_termination="\n")
    session.timeout = timeout
    return session


def open_raw(rm, timeout=20000):
    session = rm.open_resource(f"TCPIP::127.0.0.1::{RAW_PORT}::SOCKET", read_termination="\n",
                               write_termination="\n")
    session.timeout = timeout
    return session


def protocol_session(timeout=10.0):
    """pyvisa-py's HiSLIP client itself, for what PyVISA's session doesn't offer."""
    return hislip.Instrument("127.0.0.1", timeout=timeout, port=HISLIP_PORT)


def query(instrument, message):
    instrument.send(message.encode() + b"\n")
    return bytes(instrument.receive(1 << 16)).decode().rstrip("\n")


def test_the_resource_is_announced_and_queries_and_writes_reach_the_module_byte_for_byte(lan, rm):
    assert f"VISA resource: {RESOURCE}" in lan.console()
    assert f"HiSLIP {HISLIP_PORT}/tcp" in lan.console()
    s = open_hislip(rm)
    try:
        lan.sent()
        assert s.query("*IDN?") == IDN
        s.write("VORN:CONFIG 1,7,16,1")
        s.write("sense:correction:collect:method QFUL")
        assert s.query("VORN:FINT off;FINT?") == "0"
        assert lan.sent() == ["*IDN?", "VORN:CONFIG 1,7,16,1", "SENS:CORR:COLL:METH QFUL", "VORN:FINT OFF",
                              "VORN:FINT?"]
        # Longer than one HiSLIP message (1 MiB): streamed whole to the instrument, which drops a program
        # message over its own bound (-223) and goes on.
        s.write("VORN:DELAY 2.5,3" + " " * (1 << 20) + ",4")
        assert s.query("SYST:ERR?").startswith("-223,")
        assert s.query("*OPC?") == "1"
        assert lan.sent() == [], "none of it reached the module (*OPC? is answered by vornlan)"
    finally:
        s.close()


def test_each_session_has_its_own_error_queue_and_status(lan, rm):
    a, b = open_hislip(rm), open_hislip(rm)
    try:
        a.write("FOO")
        b.write("*ESE 36")
        assert b.query("SYST:ERR?") == NO_ERROR
        assert a.query("SYST:ERR?").startswith("-113,")
        assert a.query("*ESE?") == "0" and b.query("*ESE?") == "36"
    finally:
        a.close()
        b.close()


def test_read_stb_shows_mav_until_the_response_is_read_and_clear_drops_a_half_sent_message(lan, rm):
    s = open_hislip(rm)
    try:
        assert s.read_stb() & 0x10 == 0
        s.write("*IDN?")
        deadline = time.monotonic() + 10
        while s.read_stb() & 0x10 == 0:
            assert time.monotonic() < deadline, "MAV never came"
            time.sleep(0.05)
        assert s.read() == IDN
        assert s.read_stb() & 0x10 == 0
        s.clear()
        assert s.query("*IDN?") == IDN
    finally:
        s.close()
    # A message without its END, then device clear: it never reaches the module.
    instrument = protocol_session()
    try:
        lan.sent()
        instrument._send_data_packet(b"VORN:DELAY 2")
        instrument.device_clear()
        assert query(instrument, "*IDN?") == IDN
        assert query(instrument, "SYST:ERR?") == NO_ERROR
        assert lan.sent() == ["*IDN?", "SYST:ERR?"], "the half message was dropped, not run nor joined"
    finally:
        instrument.close()


def waits(session, message):
    """Starts a query on a thread of its own; its answer lands in the returned dict."""
    result = {}
    thread = threading.Thread(target=lambda: result.setdefault("r", session.query(message)))
    thread.start()
    return thread, result


def test_a_hislip_exclusive_lock_keeps_vxi11_raw_and_other_hislip_clients_out(lan, rm, vxi11_direct):
    holder = protocol_session()
    vxi11 = rm.open_resource("TCPIP::127.0.0.1::INSTR", read_termination="\n", write_termination="\n")
    vxi11.timeout = 2000
    raw, other = open_raw(rm), open_hislip(rm, timeout=20000)
    try:
        assert holder.async_lock_request(1.0) == "success"
        assert holder.async_lock_info() == 1
        with pytest.raises(pyvisa.VisaIOError):
            vxi11.write("VORN:CLEAN")  # pyvisa-py never waits for a lock: error 11 at once
        raw_waiter, raw_result = waits(raw, "*IDN?")
        hislip_waiter, hislip_result = waits(other, "*ESE?")
        time.sleep(1.0)
        assert not raw_result and not hislip_result, "the others wait while the lock is held"
        lan.sent()
        assert query(holder, "*IDN?") == IDN, "the holder goes on"
        assert lan.sent() == ["*IDN?"]
        assert holder.async_lock_release() == "success"
        raw_waiter.join(20)
        hislip_waiter.join(20)
        assert raw_result.get("r") == IDN and hislip_result.get("r") == "0"
        # VXI-11's lock is the same lock: HiSLIP is refused it, and its lock info says who holds one.
        vxi11.lock_excl(1000)
        assert holder.async_lock_request(0.0) == "failure"
        assert holder.async_lock_request(0.5, "shared") == "failure"
        assert holder.async_lock_info() == 1
        vxi11.unlock()
        assert holder.async_lock_request(0.0) == "success"
        assert holder.async_lock_release() == "success"
        assert holder.async_lock_release() == "error", "no lock held"
    finally:
        for s in (vxi11, raw, other):
            s.close()
        holder.close()


def test_a_shared_lock_admits_its_holders_together_and_keeps_everyone_else_out(lan, rm, vxi11_direct):
    a, b, c = protocol_session(), protocol_session(), protocol_session()
    vxi11 = rm.open_resource("TCPIP::127.0.0.1::INSTR", read_termination="\n", write_termination="\n")
    vxi11.timeout = 2000
    raw = open_raw(rm)
    try:
        assert a.async_lock_request(1.0, "bench") == "success"
        assert b.async_lock_request(1.0, "bench") == "success"
        assert query(a, "*OPC?") == "1" and query(b, "*OPC?") == "1", "the sharers run together"
        assert c.async_lock_request(0.3, "other") == "failure"
        assert c.async_lock_request(0.3) == "failure"
        with pytest.raises(pyvisa.VisaIOError):
            vxi11.lock_excl(300)
        with pytest.raises(pyvisa.VisaIOError):
            vxi11.write("VORN:CLEAN")
        raw_waiter, raw_result = waits(raw, "*IDN?")
        time.sleep(1.0)
        assert not raw_result, "the raw socket waits for the sharers"
        assert a.async_lock_release() == "success shared"
        time.sleep(0.5)
        assert not raw_result, "one sharer still holds it"
        assert b.async_lock_release() == "success shared"
        raw_waiter.join(20)
        assert raw_result.get("r") == IDN
        assert c.async_lock_request(0.0) == "success"
        assert c.async_lock_release() == "success"
    finally:
        vxi11.close()
        raw.close()
        for s in (a, b, c):
            s.close()


LOCK_HOLDER = """
import sys, time
from pyvisa_py.protocols import hislip
s = hislip.Instrument("127.0.0.1", port=int(sys.argv[1]))
assert s.async_lock_request(1.0) == "success"
print("locked", flush=True)
time.sleep(60)
"""


def test_a_killed_lock_holder_releases_the_lock(lan):
    holder = subprocess.Popen([sys.executable, "-c", LOCK_HOLDER, str(HISLIP_PORT)], stdout=subprocess.PIPE,
                              text=True)
    other = protocol_session()
    try:
        assert holder.stdout.readline().strip() == "locked"
        assert other.async_lock_request(0.0) == "failure"
        holder.kill()
        holder.wait(10)
        # Its connections' end frees the lock: a wait for it is granted.
        assert other.async_lock_request(10.0) == "success"
        assert other.async_lock_release() == "success"
    finally:
        holder.kill()
        other.close()


def test_a_service_request_arrives_on_the_asynchronous_channel_after_opc(lan):
    instrument = protocol_session()
    try:
        instrument.send(b"*CLS;*ESE 1;*SRE 32;*OPC\n")
        request = hislip.AsyncServiceRequest(instrument._async)
        assert request.server_status & 0x60 == 0x60  # RQS and ESB
        assert query(instrument, "*ESR?") == "1"
        assert instrument.async_status_query() & 0x40 == 0, "read, the event no longer asks for service"
    finally:
        instrument.close()


def test_another_sub_address_is_refused_at_once(lan, rm):
    started = time.monotonic()
    with pytest.raises(pyvisa.VisaIOError):
        rm.open_resource(f"TCPIP::127.0.0.1::hislip1,{HISLIP_PORT}::INSTR")
    assert time.monotonic() - started < 5
    s = open_hislip(rm)
    assert s.query("*IDN?") == IDN
    s.close()
