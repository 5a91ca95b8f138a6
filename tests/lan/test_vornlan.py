"""vornlan end to end under Wine against the simulated module, driven by clients nobody here wrote:
PyVISA with pyvisa-py (raw socket and VXI-11) and lxi-tools. What the module receives is read from the
simulated module's record and compared with what the same calls through the server send.

Run by ctest (tests/lan.cmake) with VORN_BIN and VORN_WINE_RUN set; every connection goes to loopback.
"""
import os
import socket
import struct
import subprocess
import sys
import threading
import time

import pytest
import pyvisa

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from vornlan_process import VornlanProcess  # noqa: E402

IDN = "VORN,EC-2P Simulated Module,SIM00001,01.002"
NO_ERROR = '+0,"No error"'
RAW_PORT = 5025
VXI11_PORT = 1024


class Vornlan(VornlanProcess):
    def __init__(self, args, folder="sim"):
        super().__init__(args, folder)


@pytest.fixture(scope="module")
def lan():
    server = Vornlan([])
    yield server
    server.stop()


@pytest.fixture(scope="module")
def rm():
    manager = pyvisa.ResourceManager("@py")
    yield manager
    manager.close()


def open_session(rm, transport, timeout=10000):
    if transport == "raw":
        session = rm.open_resource(f"TCPIP::127.0.0.1::{RAW_PORT}::SOCKET", read_termination="\n",
                                   write_termination="\n")
    else:
        session = rm.open_resource("TCPIP::127.0.0.1::INSTR", read_termination="\n", write_termination="\n")
    session.timeout = timeout
    return session


@pytest.fixture(params=["raw", "vxi11"])
def session(request, rm, lan):
    s = open_session(rm, request.param)
    lan.sent()
    yield s
    s.close()


# message, response (None for none), what the module receives
MAPPING = [
    ("*IDN?", IDN, ["*IDN?"]),
    ("VORN:CONFIG 1,7,16,1", None, ["VORN:CONFIG 1,7,16,1"]),
    ("vorn:config 2, 0 ,32,4", None, ["VORN:CONFIG 2,0,32,4"]),
    ("VORN:CONFIG +1.0E0,7,16.4,1", None, ["VORN:CONFIG 1,7,16,1"]),
    ("VORN:DELAY 2.5,3", None, ["VORN:DELAY 2.5,3"]),
    ("VORN:DELAY 25e-2, -1", None, ["VORN:DELAY 0.25,-1"]),
    ("DISP:MENU vorn", None, ["DISP:MENU VORN"]),
    ("DISPlay:MENU 'CCHA'", None, ["DISP:MENU CCHA"]),
    ("SENS:CORR:COLL:METH full;ACQ A", None, ["SENS:CORR:COLL:METH FULL", "SENS:CORR:COLL:ACQ A"]),
    ("sense:correction:collect:method QFUL", None, ["SENS:CORR:COLL:METH QFUL"]),
    ("CORR:COLL:PAR s21;VIEW \"Div\"", None, ["SENS:CORR:COLL:PAR S21", "SENS:CORR:COLL:VIEW DIV"]),
    (":SENS:CORR:COLL:SAVE 02", None, ["SENS:CORR:COLL:SAVE 02"]),
    ("SENS:CORR:COLL:DONE;NEXT;PRIOR;RES", None,
     ["SENS:CORR:COLL:DONE", "SENS:CORR:COLL:NEXT", "SENS:CORR:COLL:PRIOR", "SENS:CORR:COLL:RES"]),
    ("VORN:FINT off;FINT?", "0", ["VORN:FINT OFF", "VORN:FINT?"]),
    ("VORN:IAV 16;IAV?;:VORN:FINT ON", "16", ["VORN:IAV 16", "VORN:IAV?", "VORN:FINT ON"]),
    ("VORN:ABORT;:VORN:CLEAN", None, ["VORN:ABORT", "VORN:CLEAN"]),
    ("*IDN?;SYST:ERR?", IDN + ";" + NO_ERROR, ["*IDN?", "SYST:ERR?"]),
    ("CORR:COLL:METH FULL;*IDN?;ACQ B", IDN, ["SENS:CORR:COLL:METH FULL", "*IDN?", "SENS:CORR:COLL:ACQ B"]),
    ("SYSTem:ERRor:NEXT?", NO_ERROR, ["SYST:ERR?"]),
]


@pytest.mark.parametrize("message,response,sent", MAPPING, ids=[m[0] for m in MAPPING])
def test_each_header_reaches_the_module_as_the_server_sends_it(lan, session, message, response, sent):
    if response is None:
        session.write(message)
        assert session.query("*OPC?") == "1"
    else:
        assert session.query(message) == response
    assert lan.sent() == sent
    assert session.query("*ESR?") == "0", "no error of the front end's"
    session.write("*CLS")  # what the module thought of it is the module's business
    assert session.query("*OPC?") == "1"


# message, the error number SYST:ERR? reports first, what the module receives before it
ERRORS = [
    ("VORN:CONFIG 0,7,16,1", -224, []),
    ("SENS:CORR:COLL:METH FUL", -224, []),
    ("VORN:FINT 1", -224, []),
    ("VORN:CONFIG 1,7,16", -109, []),
    ("VORN:CONFIG 1,7,16,1,5", -108, []),
    ("VORN:CLEAN 1", -108, []),
    ("*IDN? 1", -108, []),
    ("VORN:CONFIG 1,7,70000,1", -222, []),
    ("VORN:IAV 40000", -222, []),
    ("*ESE 256", -222, []),
    ("VORN:CONFIG A,7,16,1", -104, []),
    ("FOO:BAR", -113, []),
    ("METH FULL", -113, []),
    ("SENS:CORR:COLL:METHO FULL", -113, []),
    ("SENS:CORR:COLL:METH FULL;VORN:CLEAN", -113, ["SENS:CORR:COLL:METH FULL"]),
    ("VORN:CONFIG 1,7,16,1 2", -102, []),
    ("DISP:MENU 'VORN", -102, []),
    ("VORN:CLEAN;;VORN:ABORT", -102, ["VORN:CLEAN"]),
    ("*RST", -200, []),
]


@pytest.fixture(autouse=True)
def fresh_record(lan):
    lan.sent()


@pytest.mark.parametrize("message,number,sent", ERRORS, ids=[m[0] for m in ERRORS])
def test_each_error_is_numbered_and_sends_nothing_more(lan, session, message, number, sent):
    session.write(message)
    assert session.query("*OPC?") == "1"
    assert lan.sent() == sent
    entry = session.query("SYST:ERR?")
    assert entry.startswith(f"{number},\""), entry
    assert lan.sent() == [], "the front end's own error is answered without the module"
    assert session.query("SYST:ERR?") == NO_ERROR
    assert lan.sent() == ["SYST:ERR?"], "with the client's queue empty, the module's is asked"


def test_an_execution_error_lets_the_rest_of_the_message_run_a_command_error_does_not(lan, session):
    assert session.query("VORN:CONFIG 0,7,16,1;:SYST:ERR?") == \
        '-224,"Illegal parameter value;VORN:CONFIG 0,7,16,1"'
    assert int(session.query("*ESR?")) == 0x10, "an execution error"
    session.write("VORN:CONFIG 1,7,16,1 2;:VORN:CLEAN")
    assert session.query(":SYST:ERR?").startswith("-102,")
    assert lan.sent() == [], "nothing after the syntax error ran"


def test_errors_merge_own_first_then_the_module_s_and_status_follows_them(lan, session):
    session.write("FOO")
    session.write("SENS:CORR:COLL:SAVE 1")  # no acquisition yet: the module queues an error of its own
    assert int(session.query("*STB?")) & 0x04, "error queue not empty"
    assert int(session.query("*ESR?")) == 0x20, "a command error"
    assert int(session.query("*ESR?")) == 0, "read and cleared"
    assert session.query("SYST:ERR?").startswith("-113,")
    module_error = session.query("SYST:ERR?")
    assert not module_error.startswith("+0"), "the module's own error, as it answered"
    assert session.query("SYST:ERR?") == NO_ERROR
    lan.sent()
    # *CLS empties both: the client's queue at once, the module's by reading it until it says 0.
    session.write("FOO;*CLS")
    session.write("SENS:CORR:COLL:SAVE 1")
    session.write("*CLS")
    assert session.query("*OPC?") == "1"
    assert lan.sent() == ["SENS:CORR:COLL:SAVE 1", "SYST:ERR?", "SYST:ERR?"]
    assert session.query("SYST:ERR?") == NO_ERROR


def test_a_full_queue_ends_in_queue_overflow(lan, session):
    for _ in range(40):
        session.write("FOO")
    entries = [session.query("SYST:ERR?") for _ in range(32)]
    assert all(e.startswith("-113,") for e in entries[:31])
    assert entries[31].startswith("-350,")
    assert session.query("SYST:ERR?") == NO_ERROR


def test_each_client_has_its_own_queue_and_status(lan, rm):
    a, b = open_session(rm, "raw"), open_session(rm, "vxi11")
    try:
        a.write("FOO")
        b.write("*ESE 36")
        assert b.query("SYST:ERR?") == NO_ERROR
        assert a.query("SYST:ERR?").startswith("-113,")
        assert a.query("*ESE?") == "0" and b.query("*ESE?") == "36"
    finally:
        a.close()
        b.close()


def test_four_clients_at_once_each_get_their_own_replies(lan, rm):
    sessions = [open_session(rm, t) for t in ("raw", "raw", "vxi11", "vxi11")]
    failures = []

    def client(index, s):
        for n in range(40):
            value = (index * 40 + n) % 256
            reply = s.query(f"*ESE {value};*ESE?;*IDN?;VORN:FINT?")
            if reply not in (f"{value};{IDN};1", f"{value};{IDN};0"):
                failures.append((index, n, reply))

    threads = [threading.Thread(target=client, args=(i, s)) for i, s in enumerate(sessions)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    for s in sessions:
        s.close()
    assert not failures
    sent = lan.sent()
    assert sent.count("*IDN?") == 160
    # A query's command and its reply are never split by another client's.
    for i, line in enumerate(sent):
        if line == "*IDN?":
            assert sent[i + 1] == "VORN:FINT?"


def test_vxi11_lock_keeps_other_clients_out_until_released(lan, rm):
    holder, other = open_session(rm, "vxi11"), open_session(rm, "vxi11", timeout=2000)
    raw = open_session(rm, "raw", timeout=20000)
    try:
        holder.lock_excl(1000)
        with pytest.raises(pyvisa.VisaIOError):
            other.write("VORN:CLEAN")  # pyvisa-py never waits for a lock: error 11 at once
        result = {}
        waiter = threading.Thread(target=lambda: result.setdefault("r", raw.query("*IDN?")))
        waiter.start()
        time.sleep(1.0)
        assert "r" not in result, "a raw client waits while another holds the lock"
        assert holder.query("*IDN?") == IDN, "the holder goes on"
        assert lan.sent() == ["*IDN?"], "nothing of the others is sent meanwhile"
        holder.unlock()
        waiter.join(20)
        assert result.get("r") == IDN
        assert other.query("*IDN?") == IDN
    finally:
        for s in (holder, other, raw):
            s.close()


LOCK_HOLDER = """
import pyvisa, sys, time
s = pyvisa.ResourceManager("@py").open_resource("TCPIP::127.0.0.1::INSTR")
s.lock_excl(1000)
print("locked", flush=True)
time.sleep(60)
"""


def test_a_killed_lock_holder_releases_the_lock(lan, rm):
    holder = subprocess.Popen(["/usr/bin/python3", "-c", LOCK_HOLDER], stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "locked"
        other = open_session(rm, "vxi11", timeout=2000)
        with pytest.raises(pyvisa.VisaIOError):
            other.write("VORN:CLEAN")
        holder.kill()
        holder.wait(10)
        deadline = time.monotonic() + 10
        while True:
            try:
                other.write("VORN:CLEAN")
                break
            except pyvisa.VisaIOError:
                assert time.monotonic() < deadline, "the lock outlived its holder's connection"
                time.sleep(0.2)
        assert other.query("*OPC?") == "1"
        other.close()
    finally:
        holder.kill()


def test_vxi11_long_response_in_parts_clear_and_interrupted_query(lan, rm):
    s = open_session(rm, "vxi11")
    try:
        s.chunk_size = 7  # device_read asks for 7 bytes at a time: the reply comes in parts
        assert s.query("*IDN?;*IDN?") == IDN + ";" + IDN
        s.chunk_size = 20480
        s.write("*IDN?")
        s.clear()  # device_clear drops the unread response
        s.write("*IDN?")
        s.write("VORN:FINT?")  # the unread response is dropped: -410
        assert s.read() in ("0", "1")
        assert s.query("SYST:ERR?").startswith("-410,")
        with pytest.raises(pyvisa.VisaIOError):
            s.read()  # nothing to read: -420 and an I/O timeout at once
        assert s.query("SYST:ERR?").startswith("-420,")
    finally:
        s.close()


def test_a_too_long_message_is_dropped_with_too_much_data(lan, rm):
    s = open_session(rm, "raw")
    try:
        s.write("VORN:CLEAN " + "1" * (70 * 1024))
        assert s.query("*IDN?") == IDN
        assert s.query("SYST:ERR?").startswith("-223,")
        assert lan.sent() == ["*IDN?"]
    finally:
        s.close()


def test_lxi_tools_over_vxi11_and_raw(lan):
    for args in (["-a", "127.0.0.1"], ["-a", "127.0.0.1", "-r", "-p", str(RAW_PORT)]):
        out = subprocess.run(["lxi", "scpi", *args, "*IDN?"], capture_output=True, text=True, timeout=30)
        assert out.stdout.strip() == IDN, (args, out.stdout, out.stderr)
    assert lan.sent() == ["*IDN?", "*IDN?"]


def rpc_record(payload):
    return struct.pack(">I", 0x80000000 | len(payload)) + payload


GARBAGE = [
    (RAW_PORT, b"\x00\xff\x01garbage without an end"),
    (RAW_PORT, b"\r\n\r\n;;;\n"),
    (VXI11_PORT, b"\xff\xff\xff\xff" * 4),  # a record claiming 2 GB
    (VXI11_PORT, rpc_record(b"\x00" * 3)),  # too short for a call header
    (VXI11_PORT, rpc_record(struct.pack(">IIIIII", 1, 0, 2, 0x0607AF, 1, 99) + b"\x00" * 16)),  # bad procedure
    (VXI11_PORT, struct.pack(">I", 8) + b"fragment" + struct.pack(">I", 4)),  # fragment, then silence
    (111, rpc_record(b"\x01\x02\x03\x04\x00\x00\x00\x00")),
]


def test_malformed_input_on_every_port_harms_only_its_connection(lan, rm):
    for port, data in GARBAGE:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as c:
            c.sendall(data)
            c.settimeout(1)
            try:
                c.recv(4096)
            except OSError:
                pass
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.sendto(b"\x00" * 7, ("127.0.0.1", 111))
    u.sendto(os.urandom(64), ("127.0.0.1", 111))
    u.close()
    s = open_session(rm, "vxi11")
    assert s.query("*IDN?") == IDN
    s.close()
    assert lan.sent() == ["*IDN?"], "garbage never reaches the module"
    assert lan.process.poll() is None


def test_binds_loopback_only_by_default(lan):
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.2", RAW_PORT), timeout=3).close()
    assert "127.0.0.1" in lan.console()


def test_allow_admits_only_its_networks():
    server = Vornlan(["--listen", "0.0.0.0", "--allow", "127.0.0.1/32", "--raw-port", "15025",
                      "--vxi11-port", "11024", "--no-portmapper"])
    try:
        outside = socket.socket()
        outside.bind(("127.0.0.2", 0))
        outside.settimeout(5)
        outside.connect(("127.0.0.1", 15025))
        try:
            outside.sendall(b"*IDN?\n")
            assert outside.recv(100) == b"", "refused and disconnected"
        except ConnectionResetError:
            pass  # refused and disconnected
        outside.close()
        with socket.create_connection(("127.0.0.1", 15025), timeout=10) as inside:
            inside.sendall(b"*IDN?\n")
            assert inside.recv(100) == (IDN + "\n").encode()
        assert "refused" in server.console()
        assert server.sent() == ["*IDN?"]
    finally:
        server.stop()


def test_a_missing_module_library_is_an_execution_error_and_the_next_message_retries():
    server = Vornlan(["--raw-port", "15026", "--vxi11-port", "11026", "--no-portmapper"], folder=None)
    try:
        with socket.create_connection(("127.0.0.1", 15026), timeout=10) as c:
            for _ in range(2):  # each message tries the library again
                c.sendall(b"VORN:CLEAN\nSYST:ERR?\n")
                reply = c.recv(1000).decode()
                assert reply.startswith("-200,\"Execution error;") and "53" in reply, reply
        assert server.process.poll() is None
    finally:
        server.stop()
