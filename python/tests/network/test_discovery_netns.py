"""find_modules() on a network of its own: a bench host running vornlan (under a Wine prefix of its own, every
Wine process inside the bench's namespace) and a client host, two network namespaces joined by a veth pair
with link-local addresses, as a module's bench PC and a lab PC without DHCP would be. pyvisa-py finds VXI-11
instruments by a portmapper broadcast on each interface: loopback carries none, hence the namespaces. Needs
root and `ip`; both namespaces and the prefix are removed afterwards, whatever happens."""
import os
import shutil
import subprocess
import sys
import tempfile

import pytest

from conftest import IDN
from vornlan_process import VornlanProcess

pytest.importorskip("psutil")  # pyvisa-py's broadcast goes out on the interfaces psutil lists

TAG = f"vp{os.getpid() % 100000}"
BENCH, CLIENT = f"{TAG}-bench", f"{TAG}-client"
BENCH_ADDRESS, CLIENT_ADDRESS = "169.254.77.1", "169.254.77.2"


def ip(*args):
    subprocess.run(["ip", *args], check=True, capture_output=True, text=True, timeout=30)


@pytest.fixture(scope="module")
def network():
    if os.geteuid() != 0 or not shutil.which("ip"):
        pytest.skip("network namespaces need root and ip")
    made = []
    try:
        for namespace in (BENCH, CLIENT):
            ip("netns", "add", namespace)
            made.append(namespace)
            ip("-n", namespace, "link", "set", "lo", "up")
        ip("link", "add", f"{TAG}b", "type", "veth", "peer", "name", f"{TAG}c")
        for end, namespace, address in ((f"{TAG}b", BENCH, BENCH_ADDRESS), (f"{TAG}c", CLIENT, CLIENT_ADDRESS)):
            ip("link", "set", end, "netns", namespace)
            ip("-n", namespace, "addr", "add", f"{address}/16", "brd", "+", "dev", end)
            ip("-n", namespace, "link", "set", end, "up")
        yield
    finally:
        for namespace in made:  # the veth pair goes with them
            subprocess.run(["ip", "netns", "del", namespace], capture_output=True, timeout=30)


@pytest.fixture(scope="module")
def bench(network):
    """vornlan on every address of the bench host, its server registered in a prefix used only there."""
    bin_dir, wine_run = os.environ["VORN_BIN"], os.environ["VORN_WINE_RUN"]
    folder = tempfile.mkdtemp(prefix="vornlan-netns-")
    prefix = os.path.join(folder, "prefix")
    wrapper = os.path.join(folder, "wine-run")
    with open(wrapper, "w") as f:
        f.write(f'#!/bin/sh\nexec ip netns exec {BENCH} env VORN_WINEPREFIX={prefix} {wine_run} "$@"\n')
    os.chmod(wrapper, 0o755)

    def wine(*args):
        subprocess.run([wrapper, *args], check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=180)

    server = None
    saved = os.environ["VORN_WINE_RUN"]
    try:
        wine("wineboot", "-i")
        wine("regsvr32", "/s", "Z:" + os.path.join(bin_dir, "Vornlink.dll").replace("/", "\\"))
        os.environ["VORN_WINE_RUN"] = wrapper
        server = VornlanProcess(["--listen", "0.0.0.0", "--http-port", "0"], prefix="vornlan-netns-run-")
        if "portmapper 111/tcp+udp" not in server.console():
            pytest.fail("vornlan in the bench namespace runs without its portmapper:\n" + server.console())
        yield server
    finally:
        os.environ["VORN_WINE_RUN"] = saved
        if server is not None:
            server.stop()
        subprocess.run(["ip", "netns", "exec", BENCH, "env", f"WINEPREFIX={prefix}", "wineserver", "-k"],
                       capture_output=True, timeout=60)
        shutil.rmtree(folder, ignore_errors=True)


def test_the_client_host_finds_the_module_by_broadcast_and_opens_it(bench):
    package = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
    script = ("import sys; sys.path.insert(0, sys.argv[1])\n"
              "from vorn_module import VornModule, find_modules\n"
              "found = find_modules(visa_library='@py', timeout=5000)\n"
              "for f in found: print(f.resource, f.identity, sep='|')\n"
              "m = VornModule(found[0].resource, visa_library='@py', timeout=10000)\n"
              "m.averages = 11\n"
              "print(m.averages)\n")
    run = subprocess.run(["ip", "netns", "exec", CLIENT, sys.executable, "-c", script, package],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    *found, averages = run.stdout.splitlines()
    assert [line.split("|") for line in found] == [[f"TCPIP::{BENCH_ADDRESS}::INSTR", IDN]], found
    assert averages == "11"
    assert "VORN:IAV 11" in bench.sent()
