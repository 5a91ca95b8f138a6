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
    # Every interface, but nothing advertised to the machine's network: only loopback carries test traffic.
    server = Vornlan(["--listen", "0.0.0.0", "--allow", "127.0.0.1/32", "--raw-port", "15025",
                      "--vxi11-port", "11024", "--no-portmapper", "--hislip-port", "0", "--no-mdns"])
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


# The clients below make faults no VISA library makes on purpose: VXI-11 spoken directly.
CORE_PROGRAM, ABORT_PROGRAM = 0x0607AF, 0x0607B0
CREATE_LINK, DEVICE_WRITE, DEVICE_READ, DEVICE_LOCK, DEVICE_ABORT = 10, 11, 12, 18, 1
WAITLOCK, END = 0x01, 0x08


def xdr_opaque(data):
    return struct.pack(">I", len(data)) + data + b"\0" * (-len(data) % 4)


class RpcClient:
    """One TCP connection to an RPC program of vornlan's, from `source` (any 127.0.0.0/8 address)."""

    def __init__(self, port, source="127.0.0.1"):
        self.sock = socket.socket()
        self.sock.bind((source, 0))
        self.sock.settimeout(30)
        self.sock.connect(("127.0.0.1", port))
        self.xid = 0

    def send_call(self, program, procedure, arguments):
        self.xid += 1
        header = struct.pack(">IIIIIIIIII", self.xid, 0, 2, program, 1, procedure, 0, 0, 0, 0)
        self.sock.sendall(rpc_record(header + arguments))

    def _exactly(self, count):
        data = b""
        while len(data) < count:
            chunk = self.sock.recv(count - len(data))
            if not chunk:
                raise ConnectionError("vornlan closed the connection")
            data += chunk
        return data

    def results(self):
        record, last = b"", False
        while not last:
            (header,) = struct.unpack(">I", self._exactly(4))
            last = bool(header & 0x80000000)
            record += self._exactly(header & 0x7FFFFFFF)
        xid, kind, status, _, _, accepted = struct.unpack(">IIIIII", record[:24])
        assert (xid, kind, status, accepted) == (self.xid, 1, 0, 0), record[:24]
        return record[24:]

    def call(self, program, procedure, arguments):
        self.send_call(program, procedure, arguments)
        return self.results()

    def close(self, reset=False):
        if reset:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()


class Vxi11Link(RpcClient):
    def __init__(self, port=VXI11_PORT, source="127.0.0.1"):
        super().__init__(port, source)
        error, self.lid, self.abort_port, _ = struct.unpack(
            ">IIII", self.call(CORE_PROGRAM, CREATE_LINK, struct.pack(">iII", 1, 0, 0) + xdr_opaque(b"inst0")))
        assert error == 0

    def write(self, data, io_timeout=10000, flags=END):
        arguments = struct.pack(">IIII", self.lid, io_timeout, 0, flags) + xdr_opaque(data)
        return struct.unpack(">II", self.call(CORE_PROGRAM, DEVICE_WRITE, arguments))

    def read(self, io_timeout=10000):
        results = self.call(CORE_PROGRAM, DEVICE_READ, struct.pack(">IIIIII", self.lid, 65536, io_timeout, 0, 0, 0))
        error, _, size = struct.unpack(">III", results[:12])
        return error, results[12:12 + size].decode("latin-1")

    def query(self, message):
        assert self.write(message.encode()) == (0, len(message))
        error, reply = self.read()
        assert error == 0, error
        return reply.rstrip("\n")

    def lock_call(self, timeout):
        """device_lock waiting up to `timeout` ms; the reply is left to results()."""
        self.send_call(CORE_PROGRAM, DEVICE_LOCK, struct.pack(">III", self.lid, WAITLOCK, timeout))


def abort(port, lid, source="127.0.0.1", client=None):
    client = client or RpcClient(port, source)
    try:
        (error,) = struct.unpack(">I", client.call(ABORT_PROGRAM, DEVICE_ABORT, struct.pack(">I", lid)))
        return error
    finally:
        client.close()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(condition, seconds=10, step=0.1):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(step)
    return True


def settle(lan):
    """Waits until the module has received nothing new for a moment (what a client left still runs)."""
    deadline = time.monotonic() + 60
    while lan.sent():
        assert time.monotonic() < deadline, "the module is still busy with what a client left"
        time.sleep(0.5)


LOCK_WAITERS = """
import socket, struct, sys, time
sys.path.insert(0, sys.argv[2])
from test_vornlan import Vxi11Link
waiters = []
for _ in range(int(sys.argv[1])):
    try:
        link = Vxi11Link()
    except (OSError, AssertionError, struct.error):
        break  # the connections are all taken
    link.lock_call(0xFFFFFFFF)  # 49 days
    waiters.append(link)
print(len(waiters), flush=True)
time.sleep(600)
"""


def test_lock_waiters_that_were_killed_leave_no_slot_and_never_get_the_lock(lan, rm):
    holder = open_session(rm, "vxi11")
    holder.lock_excl(1000)
    here = os.path.dirname(os.path.abspath(__file__))
    waiters = subprocess.Popen(["/usr/bin/python3", "-c", LOCK_WAITERS, "20", here], stdout=subprocess.PIPE, text=True)
    try:
        count = int(waiters.stdout.readline())
        assert count >= 10, "the lock waiters filled the connections"
        waiters.kill()
        waiters.wait(10)
        # Each gone within a look at its socket: a fresh client is served while the lock is still held.
        fresh = None
        deadline = time.monotonic() + 5
        while fresh is None:
            try:
                fresh = open_session(rm, "vxi11", timeout=2000)
                fresh.read_stb()
            except (pyvisa.VisaIOError, OSError):
                fresh = None
                assert time.monotonic() < deadline, "the killed waiters kept their connections"
                time.sleep(0.2)
        holder.unlock()
        fresh.lock_excl(1000)  # none of the dead waiters was granted it
        assert fresh.query("*IDN?") == IDN
        fresh.unlock()
        fresh.close()
    finally:
        waiters.kill()
        holder.close()


def test_a_raw_message_behind_a_lock_is_dropped_when_its_client_leaves(lan, rm):
    holder = open_session(rm, "vxi11")
    holder.lock_excl(1000)
    try:
        with socket.create_connection(("127.0.0.1", RAW_PORT), timeout=10) as c:
            c.sendall(b"VORN:CONFIG 1,7,16,1\n")
        # Half closed (`nc -N`): gone as well while its message waits; the connection ends, no reply.
        with socket.create_connection(("127.0.0.1", RAW_PORT), timeout=10) as c:
            c.sendall(b"*IDN?\n")
            c.shutdown(socket.SHUT_WR)
            assert c.recv(100) == b""
        time.sleep(0.5)
        assert holder.query("*IDN?") == IDN
    finally:
        holder.unlock()
        holder.close()
    time.sleep(1)
    assert lan.sent() == ["*IDN?"], "a message of a client that had left reached the module"
    # With the module free, what a client sends before it leaves still runs and is answered.
    with socket.create_connection(("127.0.0.1", RAW_PORT), timeout=10) as c:
        c.sendall(b"VORN:CLEAN\n*IDN?\n")
        c.shutdown(socket.SHUT_WR)
        reply = b""
        while chunk := c.recv(1000):
            reply += chunk
    assert reply == (IDN + "\n").encode()
    assert lan.sent() == ["VORN:CLEAN", "*IDN?"]


def test_a_flooding_vxi11_writer_neither_holds_up_others_nor_grows_without_bound(lan, rm):
    flood = b"VORN:FINT?\n" * (65536 // 11)
    flooder = Vxi11Link()
    answers = []
    stop = threading.Event()

    def write_and_never_read():
        while not stop.is_set():
            answers.append(flooder.write(flood, io_timeout=1000))

    writer = threading.Thread(target=write_and_never_read)
    writer.start()
    other = open_session(rm, "raw", timeout=5000)
    try:
        time.sleep(1)
        for _ in range(10):
            assert other.query("*IDN?") == IDN  # each within the session's 5 s
    finally:
        stop.set()
        writer.join(30)
        other.close()
        flooder.close()
    # The writes waited for room and answered what they took by their io_timeout.
    assert any(error == 15 and size < len(flood) for error, size in answers), answers[:5]
    assert all(error in (0, 15) for error, _ in answers), answers[:5]
    assert lan.process.poll() is None
    settle(lan)


def test_only_the_link_s_own_client_aborts_it_and_link_ids_are_not_in_sequence(lan, rm):
    holder = open_session(rm, "vxi11")
    holder.lock_excl(1000)
    probe = Vxi11Link()
    probe.close()
    early = RpcClient(probe.abort_port)  # an abort connection made before the link's
    # Answered, so accepted (and numbered) before the link's core connection is.
    assert struct.unpack(">I", early.call(ABORT_PROGRAM, DEVICE_ABORT, struct.pack(">I", probe.lid))) == (4,)
    link = Vxi11Link()
    second = Vxi11Link()
    try:
        assert abs(second.lid - link.lid) > 1, (link.lid, second.lid)
        link.lock_call(60000)
        time.sleep(0.3)
        assert abort(link.abort_port, link.lid, source="127.0.0.2") == 4, "another host aborted the link"
        assert abort(link.abort_port, link.lid, client=early) == 4, "an older abort connection aborted it"
        assert abort(link.abort_port, link.lid) == 0
        (error,) = struct.unpack(">I", link.results())
        assert error == 23, "the lock wait was aborted"
    finally:
        for c in (link, second):
            c.close()
        holder.unlock()
        holder.close()


def test_a_timed_out_vxi11_read_leaves_no_response_behind():
    raw, core = free_port(), free_port()
    # Each module call takes 300 ms: a query outlasts a 100 ms read.
    server = VornlanProcess(["--raw-port", str(raw), "--vxi11-port", str(core), "--no-portmapper", "--http-port", "0"],
                            env={"VORN_SIM_FAULT": "slow=300"})
    try:
        link = Vxi11Link(core)
        assert link.write(b"VORN:FINT?") == (0, 10)
        assert link.read(io_timeout=100) == (15, "")
        time.sleep(1.5)  # the message has finished meanwhile; its response is not the next one's
        assert link.query("*IDN?") == IDN
        assert link.query("SYST:ERR?") == NO_ERROR, "the response given up on was left behind"
        link.close()
    finally:
        server.stop()
