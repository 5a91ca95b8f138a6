"""One vornlan.exe under Wine for the tests that drive it with real clients: its console lines in a file,
what the simulated module received in another. ctest sets VORN_BIN (the build's bin folder) and
VORN_WINE_RUN (its wine-run)."""
import os
import signal
import subprocess
import tempfile
import time


def winpath(path):
    return "Z:" + path.replace("/", "\\")


class VornlanProcess:
    """Started in bin/<folder> (bin/sim: beside the simulated Vorn.dll; None: a folder without one), by
    `wine_run` (another host's, say) or the build's."""

    def __init__(self, args, folder="sim", ready="running", prefix="vornlan-", env=None, wine_run=None):
        bin_dir, wine_run = os.environ.get("VORN_BIN"), wine_run or os.environ.get("VORN_WINE_RUN")
        if not bin_dir or not wine_run:
            raise RuntimeError("VORN_BIN and VORN_WINE_RUN must name the build's bin folder and wine-run")
        self.work = tempfile.mkdtemp(prefix=prefix)
        self.traffic = os.path.join(self.work, "traffic.log")
        self.output = os.path.join(self.work, "stdout")
        env = dict(os.environ, **(env or {}), VORN_SIM_LOG=winpath(self.traffic))
        env.setdefault("WINEPATH", "")
        cwd = os.path.join(bin_dir, folder) if folder else self.work
        with open(self.output, "wb") as out:
            self.process = subprocess.Popen([wine_run, os.path.join(bin_dir, "vornlan.exe"), *args], cwd=cwd,
                                            env=env, stdin=subprocess.DEVNULL, stdout=out,
                                            stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.monotonic() + 60
        while ready not in self.console():
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"vornlan did not start (exit {self.process.returncode}):\n" + self.console())
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
