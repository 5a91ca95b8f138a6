"""vornlan's multicast DNS responder seen from other hosts: network namespaces joined by a bridge (link-local
addresses, as a bench without DHCP has): a bench host running vornlan under a Wine prefix of its own (its
wineserver inside the bench's namespace), a client host browsing with python zeroconf and pyvisa-py, and a
rival host whose responder claims the module's instance name. Needs root and `ip` (skipped otherwise); every
namespace and the prefix are removed afterwards, whatever happens. Run by ctest (tests/lan.cmake) with the
tests' virtual environment's python, VORN_BIN and VORN_WINE_RUN set."""
import json
import os
import queue
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import lab_network  # noqa: E402
from vornlan_process import VornlanProcess  # noqa: E402

pytest.importorskip("zeroconf")
pytest.importorskip("pyvisa_py")

IDN = "VORN,EC-2P Simulated Module,SIM00001,01.002"
INSTANCE = "VORN EC-2P Simulated Module SIM00001"
LAB = lab_network.LabNetwork(hosts=("client", "rival"))
BENCH, CLIENT, RIVAL = (LAB.namespace(host) for host in ("bench", "client", "rival"))
ADDRESSES = {LAB.namespace(host): address for host, address in LAB.addresses.items()}
BENCH_ADDRESS = ADDRESSES[BENCH]
HOST = socket.gethostname().split(".")[0]  # namespaces share the machine's name; Wine reports it
TYPES = {"_lxi._tcp.local.": 80, "_http._tcp.local.": 80, "_vxi-11._tcp.local.": 111, "_scpi-raw._tcp.local.": 5025,
         "_hislip._tcp.local.": 4880}


def python_in(namespace, script, *args, timeout=60):
    """Runs a python script (this interpreter, so zeroconf and pyvisa-py are there) on another host."""
    run = subprocess.run(["ip", "netns", "exec", namespace, sys.executable, "-c", script, *args],
                         capture_output=True, text=True, timeout=timeout)
    assert run.returncode == 0, run.stdout + run.stderr
    return run.stdout


BROWSE = r"""
import json, sys, time
from zeroconf import IPVersion, ServiceBrowser, ServiceListener, Zeroconf, ZeroconfServiceTypes
types, wait, want = sys.argv[1].split(","), float(sys.argv[2]), sys.argv[3]
zc = Zeroconf(ip_version=IPVersion.V4Only)
found = {}
class Listener(ServiceListener):
    def add_service(self, zc, type_, name): found.setdefault(type_, set()).add(name)
    def update_service(self, zc, type_, name): pass
    def remove_service(self, zc, type_, name): found.get(type_, set()).discard(name)
browsers = [ServiceBrowser(zc, t, Listener()) for t in types]
deadline = time.monotonic() + wait
while time.monotonic() < deadline and not all(any(want in n for n in found.get(t, ())) for t in types):
    time.sleep(0.1)
services = []
for t in types:
    for name in sorted(found.get(t, ())):
        info = zc.get_service_info(t, name, timeout=3000)
        services.append({"type": t, "name": name, "port": info and info.port, "server": info and info.server,
                         "addresses": info.parsed_addresses() if info else [],
                         "txt": {k.decode(): v and v.decode() for k, v in info.properties.items()} if info else {}})
enumerated = sorted(ZeroconfServiceTypes.find(zc=zc, timeout=2)) if sys.argv[4] == "types" else []
zc.close()
print(json.dumps({"services": services, "types": enumerated}))
"""


def browse(want=INSTANCE, wait=8, types=TYPES, enumerate_types=False):
    """What the client host finds of each type: name, port, server, addresses, TXT."""
    return json.loads(python_in(CLIENT, BROWSE, ",".join(types), str(wait), want,
                                "types" if enumerate_types else "-", timeout=120))


@pytest.fixture(scope="module")
def bench_host():
    """The lab network, and vornlan's runs on its bench host (a Wine prefix used only there)."""
    if reason := lab_network.usable():
        pytest.skip(reason)
    saved = os.environ["VORN_WINE_RUN"]
    with LAB:
        try:
            os.environ["VORN_WINE_RUN"] = LAB.wine_run()
            yield
        finally:
            os.environ["VORN_WINE_RUN"] = saved


class Bench(VornlanProcess):
    def __init__(self, args):
        super().__init__(args, prefix="vornlan-mdns-run-")

    def wait_for(self, text, seconds=20):
        deadline = time.monotonic() + seconds
        while text not in self.console():
            assert self.process.poll() is None and time.monotonic() < deadline, \
                f"no {text!r} from vornlan:\n" + self.console()
            time.sleep(0.1)

    def stop(self):
        super().stop()
        shutil.rmtree(self.work, ignore_errors=True)  # its console and the module's record

    def interrupt(self):
        """Ctrl+C, as at its console: vornlan stops cleanly (Wine turns SIGINT into CTRL_C_EVENT)."""
        self.process.send_signal(signal.SIGINT)
        self.process.wait(30)


@pytest.fixture(scope="module")
def bench(bench_host):
    server = Bench(["--listen", "0.0.0.0"])
    try:
        # Within seconds; but a module slow to answer on a cold start is asked again a minute later.
        server.wait_for(f'mDNS: advertising "{INSTANCE}" as {HOST}.local on {BENCH_ADDRESS}:', 90)
        yield server
    finally:
        server.stop()


def test_every_service_is_browsed_with_its_port_text_and_address(bench):
    found = browse(enumerate_types=True)
    services = {s["type"]: s for s in found["services"]}
    assert sorted(services) == sorted(TYPES), found
    for type_, port in TYPES.items():
        service = services[type_]
        assert service["name"] == f"{INSTANCE}.{type_}", service
        assert service["port"] == port, service
        assert service["addresses"] == [BENCH_ADDRESS], service  # never a loopback address
        assert service["server"] == f"{HOST}.local.", service
        assert service["txt"]["txtvers"] == "1", service
    manufacturer, model, serial, firmware = IDN.split(",")
    assert services["_lxi._tcp.local."]["txt"] == {"txtvers": "1", "Manufacturer": manufacturer, "Model": model,
                                                   "SerialNumber": serial, "FirmwareVersion": firmware}
    assert services["_http._tcp.local."]["txt"]["path"] == "/"
    assert found["types"] == sorted(TYPES), found  # the service type enumeration
    # The resources it names: by the machine's name, which another host can't resolve without DNS, and by
    # what it can: the .local name advertised here and the address.
    for resource in (f"TCPIP::{HOST}.local::hislip0::INSTR", f"TCPIP::{BENCH_ADDRESS}::5025::SOCKET",
                     f"TCPIP::{BENCH_ADDRESS}::INSTR", f"TCPIP::{HOST}::INSTR"):
        assert f"VISA resource: {resource}\n" in bench.console(), bench.console()


LIST_AND_OPEN = r"""
import sys, pyvisa
from zeroconf import IPVersion, Zeroconf
rm = pyvisa.ResourceManager("@py")
listed = rm.list_resources()
print("listed", *listed, sep="|")
# Each resource the module advertises, as a VISA resource string: VXI-11, the raw socket and HiSLIP (which
# pyvisa-py lists itself from mDNS).
zc = Zeroconf(ip_version=IPVersion.V4Only)
advertised = []
for type_, form in (("_vxi-11._tcp.local.", "TCPIP::{}::INSTR"), ("_scpi-raw._tcp.local.", "TCPIP::{}::{}::SOCKET")):
    info = zc.get_service_info(type_, f"{sys.argv[1]}.{type_}", timeout=5000)
    advertised.append(form.format(info.parsed_addresses()[0], info.port))
zc.close()
advertised += [resource for resource in listed if "hislip" in resource]
for resource in advertised:
    with rm.open_resource(resource, timeout=10000, read_termination="\n", write_termination="\n") as instrument:
        print("answer", resource, instrument.query("*IDN?").strip(), sep="|")
"""


def test_pyvisa_py_lists_the_module_and_each_advertised_resource_answers(bench):
    lines = [line.split("|") for line in python_in(CLIENT, LIST_AND_OPEN, INSTANCE, timeout=120).splitlines()]
    listed = next(line[1:] for line in lines if line[0] == "listed")
    hislip = f"TCPIP::{BENCH_ADDRESS}::hislip0,4880::INSTR"
    assert f"TCPIP::{BENCH_ADDRESS}::INSTR" in listed and hislip in listed, lines
    answers = [line[1:] for line in lines if line[0] == "answer"]
    assert answers == [[f"TCPIP::{BENCH_ADDRESS}::INSTR", IDN], [f"TCPIP::{BENCH_ADDRESS}::5025::SOCKET", IDN],
                       [hislip, IDN]]


def hostile_datagrams():
    header = lambda qd=1, an=0, flags=0: struct.pack(">6H", 0, flags, qd, an, 0, 0)  # noqa: E731
    question = b"\x00\xff\x00\x01"
    yield b""
    yield b"\x00" * 5  # a truncated header
    yield header() + b"\xc0\x0c" + question  # a pointer to itself
    yield header() + b"\x01a\xc0\x0c" + question  # a loop through a label
    yield header() + b"\xc0\x20" + question + b"\x00" * 32  # a pointer forward
    yield header() + b"\x40" + b"a" * 64 + b"\x00" + question  # a label too long
    yield header() + (b"\x3f" + b"a" * 63) * 5 + b"\x00" + question  # a name too long
    yield struct.pack(">6H", 0, 0, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF) + b"\x00" * 40  # counts beyond the datagram
    yield header(0, 1, 0x8400) + b"\x01x\x00\x00\x01\x00\x01\x00\x00\x00\x78\xff\xff\x0a"  # data beyond it
    yield header(flags=0x2800) + b"\x04_lxi\x04_tcp\x05local\x00\x00\x0c\x00\x01"  # an update, not a query
    yield os.urandom(9100)  # longer than any message may be
    name = INSTANCE.encode()
    # And among them a real question for the instance, answered as often as the rate limit lets it be.
    yield header() + bytes([len(name)]) + name + b"\x04_lxi\x04_tcp\x05local\x00" + question


FLOOD = r"""
import socket, sys, ast
datagrams = ast.literal_eval(sys.stdin.read())
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(sys.argv[2]))
for round in range(int(sys.argv[3])):
    for d in datagrams:
        for target in (sys.argv[1], "224.0.0.251"):
            try:
                s.sendto(d, (target, 5353))
            except OSError:
                pass  # a datagram longer than the link's MTU goes in fragments or not at all
"""


def test_junk_and_floods_on_5353_harm_only_their_own_datagrams(bench):
    datagrams = repr(list(hostile_datagrams()))
    capture = Capture(8)
    run = subprocess.run(["ip", "netns", "exec", CLIENT, sys.executable, "-c", FLOOD, BENCH_ADDRESS,
                          ADDRESSES[CLIENT], "500"], input=datagrams, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    # 1000 real questions among the junk, each from a port other than 5353 (answered by unicast): at most 10
    # answers a second go out, over the capture's 8 s.
    replies = capture.count()
    assert 1 <= replies <= 10 * 9, replies
    assert bench.process.poll() is None, bench.console()
    assert "mDNS: a malformed datagram from " + ADDRESSES[CLIENT] in bench.console()
    # Still answering, with nothing renamed or withdrawn.
    services = {s["type"]: s for s in browse()["services"]}
    assert services["_scpi-raw._tcp.local."]["port"] == 5025
    assert services["_scpi-raw._tcp.local."]["name"] == f"{INSTANCE}._scpi-raw._tcp.local."
    assert "is taken by" not in bench.console()


LXI_DISCOVER = r"""
set -e
# lxi-tools asks avahi-daemon over the system D-Bus: both run here, a bus of their own in a mount namespace
# of their own (a tmpfs over /run for avahi's pid file), so that nothing of the machine's is touched.
mount -t tmpfs none /run
dbus-daemon --config-file="$1/bus.conf" --fork --print-pid > "$1/dbus.pid"
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$1/bus"
for i in $(seq 50); do [ -S "$1/bus" ] && break; sleep 0.1; done
avahi-daemon --no-drop-root --no-chroot --no-rlimits -f "$1/avahi.conf" > "$1/avahi.log" 2>&1 &
avahi=$!
trap 'kill $avahi $(cat "$1/dbus.pid")' EXIT
sleep 3
timeout 30 lxi discover -m
"""

BUS_CONF = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>system</type><listen>unix:path={folder}/bus</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="*"/><allow own="*"/><allow send_destination="*" eavesdrop="true"/>
<allow eavesdrop="true"/></policy></busconfig>
"""

# The client host publishes nothing of its own (the namespaces share the machine's name with the bench).
AVAHI_CONF = """[server]
host-name=lab-client
use-ipv4=yes
use-ipv6=no
[wide-area]
enable-wide-area=no
[publish]
disable-publishing=yes
"""


def test_lxi_discover_lists_it_by_mdns(bench):
    if not all(shutil.which(tool) for tool in ("avahi-daemon", "dbus-daemon", "lxi", "unshare")):
        pytest.skip("lxi discover -m needs avahi-daemon (not installed) and dbus-daemon in the client namespace")
    assert bench.process.poll() is None, "the bench's vornlan was stopped by an earlier test"
    folder = tempfile.mkdtemp(prefix="vornlan-avahi-")
    try:
        with open(os.path.join(folder, "bus.conf"), "w") as f:
            f.write(BUS_CONF.format(folder=folder))
        with open(os.path.join(folder, "avahi.conf"), "w") as f:
            f.write(AVAHI_CONF)
        run = subprocess.run(["ip", "netns", "exec", CLIENT, "unshare", "-m", "sh", "-c", LXI_DISCOVER, "sh", folder],
                             capture_output=True, text=True, timeout=120)
        log = os.path.join(folder, "avahi.log")
        assert run.returncode == 0, run.stdout + run.stderr + (open(log).read() if os.path.exists(log) else "")
        found = f'Found "{INSTANCE}" on address {BENCH_ADDRESS}'
        for service in ("lxi service on port 80", "vxi-11 service on port 111", "scpi-raw service on port 5025"):
            assert f"{found}\n    {service}" in run.stdout, run.stdout
    finally:
        shutil.rmtree(folder, ignore_errors=True)


RIVAL_RESPONDER = r"""
import socket, sys
from zeroconf import IPVersion, ServiceInfo, Zeroconf
zc = Zeroconf(ip_version=IPVersion.V4Only)
zc.register_service(ServiceInfo("_scpi-raw._tcp.local.", f"{sys.argv[1]}._scpi-raw._tcp.local.",
                                addresses=[socket.inet_aton(sys.argv[2])], port=5025, server="rival-bench.local."))
print("registered", flush=True)
sys.stdin.read()
zc.close()
"""

BROWSER = r"""
import sys, time
from zeroconf import IPVersion, ServiceBrowser, ServiceListener, Zeroconf
def say(event, name):  # one write per line: the listener is called from more than one thread
    sys.stdout.write(f"{event}|{name}\n")
    sys.stdout.flush()
class Listener(ServiceListener):
    def add_service(self, zc, type_, name): say("added", name)
    def update_service(self, zc, type_, name): pass
    def remove_service(self, zc, type_, name): say("removed", name)
zc = Zeroconf(ip_version=IPVersion.V4Only)
browsers = [ServiceBrowser(zc, t, Listener()) for t in sys.argv[1].split(",")]
sys.stdin.read()
zc.close()
"""


class Events:
    """A browser's output, read on a thread of its own so that waiting for it can time out."""

    def __init__(self, process):
        self.lines = queue.Queue()
        threading.Thread(target=lambda: [self.lines.put(line) for line in process.stdout], daemon=True).start()

    def until(self, kind, wanted, seconds):
        """The names reported `kind`, until all of `wanted` are among them or `seconds` pass."""
        seen, deadline = set(), time.monotonic() + seconds
        while not wanted <= seen and time.monotonic() < deadline:
            try:
                event, name = self.lines.get(timeout=max(0.01, deadline - time.monotonic())).rstrip("\n").split("|", 1)
            except queue.Empty:
                break
            if event == kind:
                seen.add(name)
        return seen


def test_a_rival_with_the_same_name_makes_it_take_the_next_and_a_stop_says_goodbye(bench, bench_host):
    bench.stop()  # this test's vornlan starts after the rival claims the name
    rival = subprocess.Popen(["ip", "netns", "exec", RIVAL, sys.executable, "-c", RIVAL_RESPONDER, INSTANCE,
                              ADDRESSES[RIVAL]], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    server = browser = None
    try:
        assert rival.stdout.readline().strip() == "registered"
        server = Bench(["--listen", "0.0.0.0"])
        renamed = f"{INSTANCE} (2)"
        server.wait_for(f'mDNS: advertising "{renamed}"', 90)
        assert f"{INSTANCE}._scpi-raw._tcp.local is taken by {ADDRESSES[RIVAL]}:5353" in server.console()
        services = browse(want=renamed)["services"]
        raw = {s["name"]: s for s in services if s["type"] == "_scpi-raw._tcp.local."}
        assert raw[f"{INSTANCE}._scpi-raw._tcp.local."]["addresses"] == [ADDRESSES[RIVAL]], services
        assert raw[f"{renamed}._scpi-raw._tcp.local."]["addresses"] == [BENCH_ADDRESS], services
        assert {s["name"] for s in services if s["type"] == "_lxi._tcp.local."} == {f"{renamed}._lxi._tcp.local."}

        # A browser running on the client host drops every one of ours within seconds of vornlan's stop.
        browser = subprocess.Popen(["ip", "netns", "exec", CLIENT, sys.executable, "-c", BROWSER, ",".join(TYPES)],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        ours = {f"{renamed}.{t}" for t in TYPES}
        seen = Events(browser)
        assert ours <= seen.until("added", ours, 20)
        stopped = time.monotonic()
        server.interrupt()
        assert f'mDNS: stopped advertising "{renamed}"' in server.console()
        removed = seen.until("removed", ours, 5)
        assert removed == ours, f"removed within {time.monotonic() - stopped:.1f} s: {removed}"
    finally:
        for process in (browser, rival):
            if process is not None:
                process.stdin.close()
                process.wait(30)
        if server is not None:
            server.stop()


CAPTURE = r"""
import socket, struct, sys, time
# Every IPv4 UDP datagram from port 5353 of the given source on the client host's link, for some seconds.
s = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(0x0800))  # IP packets, no link header
s.bind((sys.argv[1], 0))
s.settimeout(0.2)
source, count, deadline = socket.inet_aton(sys.argv[2]), 0, time.monotonic() + float(sys.argv[3])
print("capturing", flush=True)
while time.monotonic() < deadline:
    try:
        packet = s.recv(65535)
    except socket.timeout:
        continue
    header = (packet[0] & 15) * 4
    if packet[9] == 17 and packet[12:16] == source and struct.unpack(">H", packet[header:header + 2])[0] == 5353:
        count += 1
print(count)
"""


class Capture:
    """Counts what the bench sends from its mDNS port, as the client host's link carries it, for `seconds`."""

    def __init__(self, seconds):
        self.process = subprocess.Popen(["ip", "netns", "exec", CLIENT, sys.executable, "-c", CAPTURE, "eth0",
                                         BENCH_ADDRESS, str(seconds)], stdout=subprocess.PIPE, text=True)
        assert self.process.stdout.readline().strip() == "capturing"

    def count(self):
        out = self.process.stdout.read()
        self.process.wait(30)
        return int(out.strip())


def mdns_sent_by_bench(args, seconds=10):
    """How many mDNS datagrams the client host sees from the bench while vornlan starts with `args`."""
    capture = Capture(seconds)
    server = None
    try:
        server = Bench(args)
        return capture.count(), server.console()
    finally:
        capture.process.wait(30)
        if server is not None:
            server.stop()


def test_on_loopback_nothing_is_advertised(bench, bench_host):
    bench.stop()
    count, console = mdns_sent_by_bench(["--listen", "127.0.0.1"])
    assert count == 0 and "mDNS" not in console, console
    count, console = mdns_sent_by_bench(["--listen", "0.0.0.0", "--no-mdns"])
    assert count == 0 and "mDNS" not in console, console
    # The same capture sees the probes and announcements when it does advertise.
    count, console = mdns_sent_by_bench(["--listen", BENCH_ADDRESS])
    assert count >= 5 and f'mDNS: advertising "{INSTANCE}"' in console, (count, console)


