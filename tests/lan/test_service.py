"""vornlan as a Windows service under Wine's service control manager (`sc`), without the package: the
service's options from its registered command line, its states as `sc query` reports them, a PyVISA
client served while it runs, its log file, and a start that fails (a port taken, a wrong command line)
ending in STOPPED with an exit code and a logged reason rather than a hang.

Run by ctest (tests/lan.cmake) with VORN_BIN and VORN_WINE_RUN set; every connection goes to loopback.
"""
import os
import re
import shutil
import socket
import subprocess
import tempfile
import time

import pytest
import pyvisa

RAW_PORT, VXI11_PORT, HTTP_PORT = 15061, 11061, 18061
NAME = "vornlan"


def sc(*args):
    result = subprocess.run([os.environ["VORN_WINE_RUN"], "sc", *args], capture_output=True, text=True,
                            stdin=subprocess.DEVNULL, timeout=60)
    return result.stdout + result.stderr


def state():
    """(state, win32 exit code, service exit code) as sc query tells them."""
    out = sc("query", NAME)
    found = re.search(r"STATE\s+:\s+\d+\s+(\w+).*?WIN32_EXIT_CODE\s+:\s+(\d+).*?SERVICE_EXIT_CODE\s+:\s+(\d+)", out,
                      re.S)
    return (found.group(1), int(found.group(2)), int(found.group(3))) if found else (None, None, None)


def wait_for(wanted, seconds=30):
    deadline = time.monotonic() + seconds
    while (current := state())[0] != wanted and time.monotonic() < deadline:
        time.sleep(0.3)
    return current


def winpath(path):
    return "Z:" + path.replace("/", "\\")


@pytest.fixture
def service_folder():
    """vornlan.exe beside the simulated Vorn.dll (a program's own folder comes first in the search)."""
    folder = tempfile.mkdtemp(prefix="vornlan-service-")
    shutil.copy(os.path.join(os.environ["VORN_BIN"], "vornlan.exe"), folder)
    shutil.copy(os.path.join(os.environ["VORN_BIN"], "sim", "Vorn.dll"), folder)
    yield folder
    sc("stop", NAME)
    wait_for("STOPPED", 20)
    sc("delete", NAME)


def create(folder, options):
    sc("delete", NAME)
    command = f"{winpath(folder)}\\vornlan.exe {options} --log {winpath(folder)}\\vornlan.log"
    sc("create", NAME, "binPath=", command, "start=", "demand", "DisplayName=", "Vorn module network access")
    assert state()[0] == "STOPPED"


def log_of(folder):
    with open(os.path.join(folder, "vornlan.log"), encoding="latin-1") as f:
        return f.read()


def test_runs_with_its_registered_options_serves_clients_and_stops_cleanly(service_folder):
    create(service_folder, f"--raw-port {RAW_PORT} --vxi11-port {VXI11_PORT} --http-port {HTTP_PORT} "
                           f"--no-portmapper --allow 127.0.0.0/8,10.0.0.0/8")
    sc("start", NAME)
    assert wait_for("RUNNING")[0] == "RUNNING"
    session = pyvisa.ResourceManager("@py").open_resource(f"TCPIP::127.0.0.1::{RAW_PORT}::SOCKET",
                                                          read_termination="\n", write_termination="\n")
    session.timeout = 10000
    assert session.query("*IDN?") == "VORN,EC-2P Simulated Module,SIM00001,01.002"
    session.close()

    sc("stop", NAME)
    assert wait_for("STOPPED") == ("STOPPED", 0, 0)
    log = log_of(service_folder)
    for line in ["starting as the service vornlan", f"raw SCPI {RAW_PORT}/tcp", f"HTTP {HTTP_PORT}/tcp",
                 "(raw socket)", "stopping: links dropped, locks released", "stopped"]:
        assert line in log
    # And again: a stopped service starts anew.
    sc("start", NAME)
    assert wait_for("RUNNING")[0] == "RUNNING"


@pytest.mark.parametrize("options, code, reason", [
    ("--raw-port {taken} --vxi11-port {taken} --no-portmapper --http-port {taken}", 1, "nothing to listen on"),
    ("--raw-port 70000", 2, "the service's command line is wrong: --raw-port takes a port"),
])
def test_a_start_that_fails_ends_stopped_with_a_code_and_a_reason(service_folder, options, code, reason):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        create(service_folder, options.format(taken=taken.getsockname()[1]))
        sc("start", NAME)
        # ERROR_SERVICE_SPECIFIC_ERROR (1066), with our own code beside it.
        assert wait_for("STOPPED") == ("STOPPED", 1066, code)
    assert reason in log_of(service_folder)
