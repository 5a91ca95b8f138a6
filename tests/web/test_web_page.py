"""vornlan's web page under Wine against the simulated module: the identification document as a tool reads
it, the limits and refusals at the HTTP level, and (in test_in_a_real_browser) the page itself in Debian's
chromium driven by playwright-core (page.test.mjs). The module answers *IDN? with markup in every field, so
everything shown must be text.

Run by ctest (tests/lan.cmake) with VORN_BIN and VORN_WINE_RUN set; every connection goes to loopback.
127.0.0.2 stands in for another machine: vornlan runs with --local 127.0.0.1.
"""
import http.client
import os
import re
import socket
import struct
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from vornlan_process import VornlanProcess  # noqa: E402

HTTP_PORT, RAW_PORT, VXI11_PORT = 18081, 15031, 11031
FIELDS = ["VORN<b>&amp;</b>", "<img src=x onerror=\"window.pwned=1\">EC-2P", "SIM'1\"<script>window.pwned=2</script>",
          "01.002<!--"]
IDN = ",".join(FIELDS)
LXI = "{http://www.lxistandard.org/InstrumentIdentification/1.0}"
HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture(scope="module")
def lan():
    server = VornlanProcess(["--http-port", str(HTTP_PORT), "--raw-port", str(RAW_PORT), "--vxi11-port",
                             str(VXI11_PORT), "--no-portmapper", "--hislip-port", "0", "--local", "127.0.0.1"],
                            env={"VORN_SIM_IDN": IDN}, prefix="vornlan-web-")
    yield server
    server.stop()


def exchange(request, source="127.0.0.1", wait=5.0):
    """Sends raw bytes, returns everything the server sent until it closed (or `wait` ran out)."""
    with socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=wait, source_address=(source, 0)) as s:
        s.sendall(request)
        data = b""
        try:
            while chunk := s.recv(65536):
                data += chunk
        except socket.timeout:
            pass
    return data


def status_of(response):
    return int(response.split(b" ", 2)[1])


def page_token(source="127.0.0.1"):
    page = exchange(b"GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", source).decode()
    return re.search(r'name="vorn-token" content="([0-9a-f]*)"', page).group(1)


def command(message, token, origin=f"http://127.0.0.1:{HTTP_PORT}", host=f"127.0.0.1:{HTTP_PORT}",
            source="127.0.0.1"):
    body = message.encode()
    head = f"POST /console HTTP/1.1\r\nHost: {host}\r\nConnection: close\r\nContent-Length: {len(body)}\r\n"
    if token is not None:
        head += f"X-Vorn-Token: {token}\r\n"
    if origin is not None:
        head += f"Origin: {origin}\r\n"
    return exchange(head.encode() + b"\r\n" + body, source)


def test_identification_document_read_until_close_in_the_schema_s_namespace_and_order(lan):
    # liblxi's fallback: HTTP/1.0, no Host, read until the server closes.
    response = exchange(b"GET /lxi/identification HTTP/1.0\r\n\r\n")
    head, _, body = response.partition(b"\r\n\r\n")
    assert status_of(head) == 200 and b"Connection: close" in head
    assert int(re.search(rb"Content-Length: (\d+)", head).group(1)) == len(body)
    root = ET.fromstring(body)
    assert root.tag == LXI + "LXIDevice"
    tags = [child.tag.removeprefix(LXI) for child in root]
    assert tags == ["Manufacturer", "Model", "SerialNumber", "FirmwareRevision", "ManufacturerDescription",
                    "HomepageURL", "UserDescription", "IdentificationURL", "Interface"]
    assert [root.find(LXI + t).text for t in tags[:4]] == FIELDS
    interface = root.find(LXI + "Interface")
    assert [e.text for e in interface.findall(LXI + "InstrumentAddressString")] == [
        "TCPIP::127.0.0.1::INSTR", f"TCPIP::127.0.0.1::{RAW_PORT}::SOCKET"]
    assert interface.find(LXI + "IPAddress").text == "127.0.0.1"
    assert b"conforman" not in body.lower() and b"LXIVersion" not in body


@pytest.mark.parametrize("request_bytes, status", [
    (b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Pad: " + b"a" * 9000 + b"\r\n\r\n", 431),
    (b"POST /console HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 20000\r\n\r\n", 413),
    (b"GET / HTTP/1.1\r\n\r\n", 400),                       # HTTP/1.1 without Host
    (b"GET /\r\n\r\n", 400),                                # no version
    (b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nbad header\r\n\r\n", 400),
    (b"POST /console HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n", 501),
    (b"POST /console HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 4\r\nContent-Length: 5\r\n\r\nabcde", 400),
    (b"POST /console HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: -1\r\n\r\n", 400),
    (b"GET / HTTP/2.0\r\nHost: 127.0.0.1\r\n\r\n", 505),
    (b"GET /lxi HTTP/1.0\n\n", 200),                      # bare line feeds, as some tools send
    (b"GET /../../windows/win.ini HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 404),
    (b"GET /console HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 405),
    (b"GET / HTTP/1.1\r\nHost: rebound.example:18081\r\n\r\n", 421),
])
def test_each_request_gets_its_status_and_harms_nothing(lan, request_bytes, status):
    assert status_of(exchange(request_bytes)) == status
    assert status_of(exchange(b"GET /lxi HTTP/1.0\r\n\r\n")) == 200


def test_a_client_slow_to_finish_its_request_times_out(lan):
    started = time.monotonic()
    response = exchange(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n", wait=30)
    assert status_of(response) == 408 and time.monotonic() - started < 20


def test_a_console_command_runs_only_with_token_origin_host_and_a_local_client(lan):
    token = page_token()
    lan.sent()
    refused = [
        (command("*RST", None), 403),
        (command("*RST", "0" * 32), 403),
        (command("*RST", token, origin=None), 403),
        (command("*RST", token, origin="http://rebound.example"), 403),
        (command("*RST", token, host="rebound.example"), 421),
        (command("*RST", token, source="127.0.0.2"), 403),
    ]
    assert [status_of(r) for r, _ in refused] == [s for _, s in refused]
    assert lan.sent() == []
    accepted = command("VORN:FINT OFF", token)
    assert status_of(accepted) == 200 and lan.sent() == ["VORN:FINT OFF"]


def test_another_machine_sees_the_page_read_only(lan):
    page = exchange(b"GET / HTTP/1.0\r\n\r\n", source="127.0.0.2").decode()
    assert 'name="vorn-token" content=""' in page and 'data-state="read-only"' in page


def events_now(port=HTTP_PORT):
    """What /events sends at once: the whole history (and the clients), read until it goes quiet."""
    with socket.create_connection(("127.0.0.1", port), timeout=3) as s:
        s.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        data = b""
        try:
            while chunk := s.recv(65536):
                data += chunk
                if b"event: clients" in data:
                    s.settimeout(0.5)
        except socket.timeout:
            pass
    return data.decode("utf-8", "replace")


def vxi11_call(s, xid, procedure, arguments):
    """One VXI-11 core call over an open connection; the reply's results (after an accepted header)."""
    message = struct.pack(">10I", xid, 0, 2, 0x0607AF, 1, procedure, 0, 0, 0, 0) + arguments
    s.sendall(struct.pack(">I", 0x80000000 | len(message)) + message)
    reply = b""
    while len(reply) < 4 or len(reply) < 4 + (struct.unpack_from(">I", reply)[0] & 0x7FFFFFFF):
        chunk = s.recv(65536)
        assert chunk, "vornlan closed the VXI-11 connection"
        reply += chunk
    assert struct.unpack_from(">3I", reply, 4) == (xid, 1, 0)
    return reply[4 + 24:]


def test_the_clients_show_who_holds_the_lock(lan):
    with socket.create_connection(("127.0.0.1", VXI11_PORT), timeout=10) as s:
        error, lid = struct.unpack_from(">2I", vxi11_call(s, 1, 10, struct.pack(">iIII", 1, 0, 0, 5) + b"inst0\0\0\0"))
        assert error == 0
        assert struct.unpack_from(">I", vxi11_call(s, 2, 18, struct.pack(">3I", lid, 0, 0)))[0] == 0
        clients = events_now().rsplit("event: clients", 1)[1]
        assert re.search(r'"transport":"VXI-11","since":\d+,"lock":"exclusive"', clients), clients
        assert struct.unpack_from(">I", vxi11_call(s, 3, 19, struct.pack(">I", lid)))[0] == 0
        clients = events_now().rsplit("event: clients", 1)[1]
        assert re.search(r'"transport":"VXI-11","since":\d+,"lock":null', clients), clients


def raw_exchange(port, message):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(message)
        reply = b""
        while not reply.endswith(b"\n"):
            chunk = s.recv(65536)
            if not chunk:
                break
            reply += chunk
    return reply


def test_a_huge_message_is_kept_by_its_head_in_the_error_queue_and_the_live_view(lan):
    reply = raw_exchange(RAW_PORT, b"X" * 65000 + b"\nSYST:ERR?\n")
    assert reply.startswith(b'-113,"Undefined header;XXX') and len(reply) < 400
    shown = [line for line in events_now().splitlines() if "XXXXXXXX" in line]
    assert shown and all(len(line) < 2048 for line in shown)


@pytest.mark.parametrize("folder", ["sim", None], ids=["module answers", "no module"])
def test_the_page_asks_the_module_only_when_no_client_did_and_at_most_once_a_minute(folder):
    http_port, raw_port = HTTP_PORT + 1, RAW_PORT + 1
    server = VornlanProcess(["--http-port", str(http_port), "--raw-port", str(raw_port), "--vxi11-port",
                             str(VXI11_PORT + 1), "--no-portmapper", "--hislip-port", "0"], folder=folder, prefix="vornlan-identity-")
    try:
        if folder:
            assert raw_exchange(raw_port, b"*IDN?\n").startswith(b"VORN,")
        for _ in range(4):
            with socket.create_connection(("127.0.0.1", http_port), timeout=10) as s:
                s.sendall(b"GET / HTTP/1.0\r\n\r\n")
                while s.recv(65536):
                    pass
        asked = events_now(http_port).count('"message":"*IDN?"')
        # With a module, the client's own question was all; without one, the page asked once and took the
        # failure as the answer for the next minute.
        assert asked == 1
        if folder:
            assert server.sent() == ["*IDN?"]
    finally:
        server.stop()


def test_in_a_real_browser(lan):
    node = subprocess.run(["node", "--test", os.path.join(HERE, "page.test.mjs")],
                          cwd=HERE, capture_output=True, text=True, timeout=240,
                          env=dict(os.environ, VORN_WEB_URL=f"http://127.0.0.1:{HTTP_PORT}",
                                   VORN_RAW_RESOURCE=f"TCPIP::127.0.0.1::{RAW_PORT}::SOCKET",
                                   VORN_VXI11_PORT=str(VXI11_PORT),
                                   VORN_TRAFFIC=lan.traffic, VORN_IDN=IDN))
    print(node.stdout, node.stderr)
    assert node.returncode == 0
