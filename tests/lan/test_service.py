"""vornlan as a Windows service under Wine's service control manager (`sc`), without the package: the
service's options from its registered command line, its states as `sc query` reports them, a PyVISA
client served while it runs, its log file, a start that fails (a port taken, a wrong command line)
ending in STOPPED with an exit code and a logged reason rather than a hang, and a console vornlan that
never takes itself for a service (only --service, which the registered command line carries, does).

Run by ctest (tests/lan.cmake) with VORN_BIN and VORN_WINE_RUN set; every connection goes to loopback.
"""
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import pytest
import pyvisa

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from vornlan_process import VornlanProcess  # noqa: E402

RAW_PORT, VXI11_PORT, HTTP_PORT = 15061, 11061, 18061
CONSOLE_RAW_PORT = 15062
NAME = "vornlan"
# A service whose program never connects to the manager: the manager waits for it (about 10 s under Wine).
DECOY = "vornlan_decoy"


def sc(*args):
    result = subprocess.run([os.environ["VORN_WINE_RUN"], "sc", *args], capture_output=True, text=True,
                            stdin=subprocess.DEVNULL, timeout=60)
    return result.stdout + result.stderr


def state(name=NAME):
    """(state, win32 exit code, service exit code) as sc query tells them."""
    out = sc("query", name)
    found = re.search(r"STATE\s+:\s+\d+\s+(\w+).*?WIN32_EXIT_CODE\s+:\s+(\d+).*?SERVICE_EXIT_CODE\s+:\s+(\d+)", out,
                      re.S)
    return (found.group(1), int(found.group(2)), int(found.group(3))) if found else (None, None, None)


def wait_for(wanted, seconds=30, name=NAME):
    deadline = time.monotonic() + seconds
    while (current := state(name))[0] != wanted and time.monotonic() < deadline:
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
    command = f"{winpath(folder)}\\vornlan.exe --service {options} --log {winpath(folder)}\\vornlan.log"
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
    ("--raw-port {taken} --vxi11-port {taken} --no-portmapper --hislip-port {taken} --http-port {taken}", 1,
     "nothing to listen on"),
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


def test_a_console_run_never_takes_itself_for_the_service_being_started():
    """Under Wine the dispatcher connects to whichever service the manager is starting at that moment: a
    console vornlan started meanwhile stays a console program, and the manager's start times out."""
    sc("delete", DECOY)
    sc("create", DECOY, "binPath=", r"C:\windows\system32\ping.exe -n 30 127.0.0.1", "start=", "demand")
    starting = subprocess.Popen([os.environ["VORN_WINE_RUN"], "sc", "start", DECOY], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    console = None
    try:
        assert wait_for("START_PENDING", 10, DECOY)[0] == "START_PENDING"
        console = VornlanProcess(["--raw-port", str(CONSOLE_RAW_PORT), "--no-portmapper", "--http-port", "0",
                                  "--vxi11-port", str(CONSOLE_RAW_PORT + 1)], ready="running; Ctrl+C stops")
        assert "starting as the service" not in console.console()
        assert state(DECOY)[0] == "START_PENDING"
        starting.wait(60)
        assert state(DECOY)[0] == "STOPPED"
    finally:
        if console:
            console.stop()
        if starting.poll() is None:
            starting.kill()
        sc("delete", DECOY)


def test_service_is_refused_at_a_console():
    result = subprocess.run([os.environ["VORN_WINE_RUN"], os.path.join(os.environ["VORN_BIN"], "vornlan.exe"),
                             "--service", "--raw-port", str(CONSOLE_RAW_PORT)], capture_output=True, text=True,
                            stdin=subprocess.DEVNULL, timeout=60)
    assert result.returncode == 2
    assert "--service is for the service control manager" in result.stderr
