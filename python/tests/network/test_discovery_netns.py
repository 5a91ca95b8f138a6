"""find_modules() from another host: vornlan on a bench host of a lab network of the test's own (network
namespaces, link-local addresses), the driver on a client host. pyvisa-py finds VXI-11 instruments by a
portmapper broadcast on each interface: loopback carries none, hence the namespaces. Needs root and `ip`."""
import os
import sys

import pytest

from conftest import IDN
import lab_network

pytest.importorskip("psutil")  # pyvisa-py's broadcast goes out on the interfaces psutil lists


@pytest.fixture(scope="module")
def lab():
    if reason := lab_network.usable():
        pytest.skip(reason)
    with lab_network.LabNetwork() as lab:
        server = lab.start_vornlan(["--listen", "0.0.0.0", "--http-port", "0", "--no-mdns"])
        if "portmapper 111/tcp+udp" not in server.console():
            pytest.fail("vornlan on the bench host runs without its portmapper:\n" + server.console())
        yield lab, server


def test_the_client_host_finds_the_module_by_broadcast_and_opens_it(lab):
    lab, server = lab
    package = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
    script = ("import sys; sys.path.insert(0, sys.argv[1])\n"
              "from vorn_module import VornModule, find_modules\n"
              "found = find_modules(visa_library='@py', timeout=5000)\n"
              "for f in found: print(f.resource, f.identity, sep='|')\n"
              "m = VornModule(found[0].resource, visa_library='@py', timeout=10000)\n"
              "m.averages = 11\n"
              "print(m.averages)\n")
    run = lab.run("client", [sys.executable, "-c", script, package])
    assert run.returncode == 0, run.stdout + run.stderr
    *found, averages = run.stdout.splitlines()
    assert [line.split("|") for line in found] == [[f"TCPIP::{lab.addresses['bench']}::INSTR", IDN]], found
    assert averages == "11"
    assert "VORN:IAV 11" in server.sent()
