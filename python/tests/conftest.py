"""The driver against vornlan.exe under Wine and the simulated module; only loopback is used.

ctest (tests/python.cmake) sets VORN_BIN (the build's bin folder) and VORN_WINE_RUN (its wine-run).
vornlan listens on ports of its own (raw 15030, VXI-11 11030) and answers the portmapper on 111, where
pyvisa-py looks up VXI-11's port: ctest runs these tests under the lock the other users of 111 take. When
another run of these tests holds the raw or VXI-11 port (another ctest in the same build), free ports are
taken instead: a second vornlan would leave a taken port out and still run, and each run's commands would
land in the other's module. Port 111 can't move; when something else holds it, the VXI-11 cases fail
saying so (run them again later).

The tests in protocol/ need none of this: they run without vornlan and Wine.
"""
import os
import socket
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
# The runner the network tests share, from the source tree these tests run in.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "support"))

from vorn_module import VornModule  # noqa: E402
from vornlan_process import VornlanProcess  # noqa: E402


def port_free(port):
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


def free_port(following=1):
    """A loopback port that is free, together with the ``following`` ports after it."""
    for _ in range(50):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        if port + following < 65536 and all(port_free(port + n) for n in range(1, following + 1)):
            return port
    raise RuntimeError("no free loopback port")


RAW_PORT = 15030 if port_free(15030) else free_port(0)
VXI11_PORT = 11030 if port_free(11030) and port_free(11031) else free_port(1)  # its abort channel is next
HISLIP_PORT = 14880 if port_free(14880) else free_port(0)
RESOURCE = f"TCPIP::127.0.0.1::{RAW_PORT}::SOCKET"
# Every resource the driver is tested through: each end-to-end case runs once per entry. HiSLIP needs
# pyvisa-py 0.6 or later (Debian 12's 0.5.1 has none).
RESOURCES = {
    "socket": RESOURCE,
    "vxi11": "TCPIP::127.0.0.1::INSTR",
}
try:
    import pyvisa_py.protocols.hislip  # noqa: F401
    RESOURCES["hislip"] = f"TCPIP::127.0.0.1::hislip0,{HISLIP_PORT}::INSTR"
except ImportError:
    pass
IDN = "VORN,EC-2P Simulated Module,SIM00001,01.002"


class Vornlan(VornlanProcess):
    """The shared runner, checked to serve this file's raw port (a taken port would be left out)."""

    def __init__(self, args):
        super().__init__(args, prefix="vornlan-python-")
        if f"VISA resource: {RESOURCE}" not in self.console():
            self.stop()
            raise RuntimeError(f"vornlan runs without {RESOURCE}:\n" + self.console())

    def serves(self, resource):
        """Whether this vornlan is what ``resource`` reaches: VXI-11's needs its portmapper on 111."""
        if resource.endswith("::INSTR"):
            return "portmapper 111/tcp" in self.console()
        return True


@pytest.fixture(scope="session")
def lan():
    server = Vornlan(["--raw-port", str(RAW_PORT), "--vxi11-port", str(VXI11_PORT), "--hislip-port", str(HISLIP_PORT),
                      "--http-port", "0"])
    yield server
    server.stop()


@pytest.fixture(params=list(RESOURCES), scope="session")
def resource(request, lan):
    """Each resource of RESOURCES in turn, once this file's vornlan serves it."""
    name = RESOURCES[request.param]
    if not lan.serves(name):
        said = [line for line in lan.console().splitlines() if ":111/" in line]
        pytest.fail(f"port 111 is held by another program, so {name} would not reach this vornlan: "
                    "run these tests again when it is free\n" + "\n".join(said), pytrace=False)
    return name


def open_module(resource=RESOURCE, **kwargs):
    kwargs.setdefault("visa_library", "@py")
    kwargs.setdefault("timeout", 10000)
    return VornModule(resource, **kwargs)


def close_module(module):
    module.adapter.connection.close()
    module.adapter.connection = None


def sync(module):
    """Waits until vornlan has run everything written before (*OPC? is answered by vornlan alone)."""
    assert module.ask("*OPC?") == "1"


@pytest.fixture
def module(lan, resource):
    """A driver with the error check on, both error queues empty, the record read up to now."""
    m = open_module(resource)
    m.write("*CLS")
    sync(m)
    lan.sent()
    yield m
    close_module(m)


@pytest.fixture
def unchecked(lan, resource):
    """A driver with the error check off, both error queues empty, the record read up to now."""
    m = open_module(resource, error_checking=False)
    m.write("*CLS")
    sync(m)
    lan.sent()
    yield m
    m.write("*CLS")
    sync(m)
    close_module(m)
