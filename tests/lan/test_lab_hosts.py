"""vornlan as other hosts meet it: a lab network of the test's own (tests/support/lab_network.py), vornlan on the
bench host, clients on two other hosts. What 127.0.0.2 can't stand in for: the default serves no other host at
all, --allow serves one host and refuses a third, and VXI-11 discovery by broadcast (lxi-tools, pyvisa-py) finds
the module only from where it is allowed. Needs root and `ip` (skipped otherwise)."""
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import lab_network  # noqa: E402

IDN = "VORN,EC-2P Simulated Module,SIM00001,01.002"

# One client program for every case: what it can do with the bench host, one line per question.
CLIENT = r"""
import socket, sys
host, what = sys.argv[1], sys.argv[2:]
for item in what:
    kind, _, port = item.partition(":")
    try:
        if kind == "raw":
            with socket.create_connection((host, int(port)), 5) as s:
                s.sendall(b"*IDN?\n")
                s.settimeout(5)
                print(item, s.makefile("rb").readline().decode().strip() or "closed")
        elif kind == "connect":
            socket.create_connection((host, int(port)), 5).close()
            print(item, "connected")
        elif kind == "visa":
            import pyvisa
            rm = pyvisa.ResourceManager("@py")
            with rm.open_resource(f"TCPIP::{host}::INSTR", timeout=5000) as m:
                print(item, m.query("*IDN?").strip())
        elif kind == "page":  # the addresses the page lists for this host
            import re, urllib.request
            page = urllib.request.urlopen(f"http://{host}:{port}/", timeout=10).read().decode()
            listed = re.search(r"<dt>Addresses</dt><dd><ul[^>]*>(.*?)</ul>", page, re.S).group(1)
            print(item, re.findall(r"<li>([^<]*)</li>", listed))
        elif kind == "list":
            import pyvisa
            print(item, sorted(r for r in pyvisa.ResourceManager("@py").list_resources("TCPIP?*::INSTR")
                               if "::INSTR" in r and "hislip" not in r))
    except OSError as error:
        print(item, type(error).__name__)
    except Exception as error:  # a VISA error: the host didn't serve it
        print(item, "error", type(error).__name__)
"""


@pytest.fixture(scope="module")
def lab():
    if reason := lab_network.usable():
        pytest.skip(reason)
    with lab_network.LabNetwork(hosts=("client", "third")) as lab:
        yield lab


# Service requests from a client host, over VXI-11 (its interrupt channel back to the client host, by the
# service-request test's own RPC client) and over HiSLIP (pyvisa-py's protocol module).
SERVICE_REQUESTS = r"""
import struct, sys
sys.path.insert(0, sys.argv[2])
from test_service_requests import CoreClient, InterruptServer, DEVICE_ENABLE_SRQ, opaque
from pyvisa_py.protocols import hislip
host, me = sys.argv[1], sys.argv[3]
interrupts = InterruptServer(me)
client = CoreClient(host, 1024)
lid = client.create_link()
print("create_intr_chan", client.create_intr_chan(interrupts.port))
print("device_enable_srq", client.error(DEVICE_ENABLE_SRQ, struct.pack(">2I", lid, 1) + opaque(b"bench")))
print("device_write", client.write(lid, "*ESE 1;*SRE 32;*OPC"))
print("device_intr_srq", interrupts.calls.get(timeout=20)[-1].decode())
print("readstb", hex(client.readstb(lid)[1]))
session = hislip.Instrument(host, timeout=10.0, port=4880)
session.send(b"*CLS;*ESE 1;*SRE 32;*OPC\n")
print("AsyncServiceRequest", hex(hislip.AsyncServiceRequest(session._async).server_status & 0x60))
session.close()
"""


def ask(lab, host, *questions):
    run = lab.run(host, [sys.executable, "-c", CLIENT, lab.addresses["bench"], *questions])
    assert run.returncode == 0, run.stdout + run.stderr
    return dict(line.split(" ", 1) for line in run.stdout.splitlines())


def discover(lab, host):
    run = lab.run(host, ["lxi", "discover", "-t", "3"], timeout=60)
    return run.stdout


def test_by_default_no_other_host_is_served(lab):
    server = lab.start_vornlan(["--http-port", "8080"])
    try:
        answers = ask(lab, "client", "connect:5025", "connect:1024", "connect:111", "connect:4880", "connect:8080")
        assert set(answers.values()) == {"ConnectionRefusedError"}, answers
        assert lab.addresses["bench"] not in discover(lab, "client")
    finally:
        server.stop()


def test_the_allowed_host_is_served_and_a_third_refused(lab):
    client = lab.addresses["client"]
    server = lab.start_vornlan(["--listen", "0.0.0.0", "--allow", f"{client}/32", "--http-port", "8080", "--no-mdns"])
    try:
        answers = ask(lab, "client", "raw:5025", "visa:", "list:", "page:8080")
        assert answers == {"raw:5025": IDN, "visa:": IDN,
                           "list:": str([f"TCPIP::{lab.addresses['bench']}::INSTR"]),
                           # as the network sees it: not the loopback address its name resolves to
                           "page:8080": str([lab.addresses["bench"]])}, answers
        found = discover(lab, "client")
        assert lab.addresses["bench"] in found and "EC-2P Simulated Module" in found, found
        assert "*IDN?" in server.sent()

        # The third host reaches the port and is let go at once; its broadcast goes unanswered.
        answers = ask(lab, "third", "raw:5025", "visa:")
        assert answers["raw:5025"] in ("closed", "ConnectionResetError"), answers
        assert answers["visa:"] != IDN, answers
        assert lab.addresses["bench"] not in discover(lab, "third")
        console = server.console()
        assert f"client {lab.addresses['third']}:" in console and "refused: not in --allow" in console, console
        assert server.sent() == []  # nothing of the third host's reached the module

        here = os.path.dirname(os.path.abspath(__file__))
        run = lab.run("client", [sys.executable, "-c", SERVICE_REQUESTS, lab.addresses["bench"], here, client])
        assert run.returncode == 0, run.stdout + run.stderr
        assert dict(line.split(" ", 1) for line in run.stdout.splitlines()) == {
            "create_intr_chan": "0", "device_enable_srq": "0", "device_write": "0", "device_intr_srq": "bench",
            "readstb": "0x60", "AsyncServiceRequest": "0x60"}, run.stdout
    finally:
        server.stop()
