"""The driver against vornlan.exe under Wine and the simulated module; only loopback is used.

ctest (tests/python.cmake) sets VORN_BIN (the build's bin folder) and VORN_WINE_RUN (its wine-run).
vornlan listens on ports of its own (raw 15030, VXI-11 11030, no portmapper: pyvisa-py's VXI-11 needs one on 111), so the
driver is tested through the raw socket resource.
"""
import os
import signal
import subprocess
import sys
import tempfile
import time

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from vorn_module import VornModule  # noqa: E402

RAW_PORT = 15030
VXI11_PORT = 11030
RESOURCE = f"TCPIP::127.0.0.1::{RAW_PORT}::SOCKET"
IDN = "VORN,EC-2P Simulated Module,SIM00001,01.002"


def winpath(path):
    return "Z:" + path.replace("/", "\\")


class Vornlan:
    """One vornlan.exe under Wine in bin/sim, its console in a file, the module's record in another."""

    def __init__(self, args):
        self.bin = os.environ.get("VORN_BIN")
        wine_run = os.environ.get("VORN_WINE_RUN")
        if not self.bin or not wine_run:
            pytest.fail("VORN_BIN and VORN_WINE_RUN must name the build's bin folder and wine-run (ctest sets them)")
        self.work = tempfile.mkdtemp(prefix="vornlan-python-")
        self.traffic = os.path.join(self.work, "traffic.log")
        self.output = os.path.join(self.work, "stdout")
        env = dict(os.environ, VORN_SIM_LOG=winpath(self.traffic))
        env.setdefault("WINEPATH", "")
        with open(self.output, "wb") as out:
            self.process = subprocess.Popen([wine_run, os.path.join(self.bin, "vornlan.exe"), *args],
                                            cwd=os.path.join(self.bin, "sim"), env=env, stdin=subprocess.DEVNULL,
                                            stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.monotonic() + 60
        while "running" not in self.console():
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("vornlan did not start:\n" + self.console())
            time.sleep(0.1)
        self.mark = 0

    def console(self):
        with open(self.output, "rb") as f:
            return f.read().decode("latin-1").replace("\r", "")

    def sent(self):
        """The command lines the module received since the last call."""
        if not os.path.exists(self.traffic):
            return []
        with open(self.traffic, "rb") as f:
            lines = f.read().decode("latin-1").splitlines()
        new, self.mark = lines[self.mark:], len(lines)
        return [line[2:] for line in new if line.startswith("> ")]

    def stop(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait(30)


@pytest.fixture(scope="session")
def lan():
    server = Vornlan(["--raw-port", str(RAW_PORT), "--vxi11-port", str(VXI11_PORT), "--no-portmapper"])
    yield server
    server.stop()


def open_module(**kwargs):
    kwargs.setdefault("visa_library", "@py")
    kwargs.setdefault("timeout", 10000)
    return VornModule(RESOURCE, **kwargs)


def close_module(module):
    module.adapter.connection.close()
    module.adapter.connection = None


def sync(module):
    """Waits until vornlan has run everything written before (*OPC? is answered by vornlan alone)."""
    assert module.ask("*OPC?") == "1"


@pytest.fixture
def module(lan):
    """A driver with the error check on, both error queues empty, the record read up to now."""
    m = open_module()
    m.write("*CLS")
    sync(m)
    lan.sent()
    yield m
    close_module(m)


@pytest.fixture
def unchecked(lan):
    """A driver with the error check off, both error queues empty, the record read up to now."""
    m = open_module(error_checking=False)
    m.write("*CLS")
    sync(m)
    lan.sent()
    yield m
    m.write("*CLS")
    sync(m)
    close_module(m)
