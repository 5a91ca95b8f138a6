"""A lab network of its own for the tests that need other hosts than this one: a bench host running vornlan
and client hosts, each a network namespace, joined by a bridge (in a namespace of its own) with link-local
addresses, as a bench PC and lab PCs without DHCP have. Wine opens sockets in its wineserver, so the bench
host's Wine prefix is used only there and its wineserver runs inside the bench namespace. Needs root and `ip`;
every namespace (their links with them) and the prefix are removed on close, whatever happened."""
import os
import shutil
import subprocess
import tempfile

from vornlan_process import VornlanProcess, winpath

NETWORK = "169.254.77"  # hosts are NETWORK.1 (the bench), NETWORK.2, ...


def usable():
    """Why the lab network can't be made here, or None."""
    if os.geteuid() != 0:
        return "network namespaces need root"
    if not shutil.which("ip"):
        return "network namespaces need ip (iproute2)"
    return None


def _ip(*args):
    subprocess.run(["ip", *args], check=True, capture_output=True, text=True, timeout=30)


class LabNetwork:
    """`hosts`: the client hosts' names; the bench host is "bench". Use as a context manager."""

    def __init__(self, hosts=("client",)):
        self.tag = f"vl{os.getpid() % 100000}"
        self.names = ["bench", *hosts]
        # Named before they are made, so that a test may name them in its constants.
        self.namespaces = {name: f"{self.tag}-{name}" for name in ["lan", *self.names]}
        self.addresses = {name: f"{NETWORK}.{i + 1}" for i, name in enumerate(self.names)}
        self.made = []
        self.folder = None
        self.servers = []

    def namespace(self, host):
        return self.namespaces[host]

    def __enter__(self):
        try:
            switch = self.namespaces["lan"]
            _ip("netns", "add", switch)
            self.made.append(switch)
            _ip("-n", switch, "link", "add", "br0", "type", "bridge")
            _ip("-n", switch, "link", "set", "br0", "up")
            for i, host in enumerate(self.names):
                namespace = self.namespaces[host]
                _ip("netns", "add", namespace)
                self.made.append(namespace)
                _ip("-n", namespace, "link", "set", "lo", "up")
                inside, port = f"{self.tag}h{i}", f"{self.tag}p{i}"
                _ip("link", "add", inside, "type", "veth", "peer", "name", port)
                _ip("link", "set", inside, "netns", namespace)
                _ip("link", "set", port, "netns", switch)
                _ip("-n", namespace, "link", "set", inside, "name", "eth0")
                _ip("-n", namespace, "addr", "add", f"{self.addresses[host]}/16", "brd", "+", "dev", "eth0")
                _ip("-n", namespace, "link", "set", "eth0", "up", "multicast", "on")
                # Multicast (mDNS) leaves by the link, not by a default route the hosts don't have.
                _ip("-n", namespace, "route", "add", "224.0.0.0/4", "dev", "eth0")
                _ip("-n", switch, "link", "set", port, "master", "br0")
                _ip("-n", switch, "link", "set", port, "up")
            self.folder = tempfile.mkdtemp(prefix="vornlan-lab-")
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def run(self, host, argv, timeout=120, **kwargs):
        """A program on `host`, run to its end: its CompletedProcess (text)."""
        return subprocess.run(["ip", "netns", "exec", self.namespaces[host], *argv], capture_output=True,
                              text=True, timeout=timeout, **kwargs)

    def popen(self, host, argv, **kwargs):
        return subprocess.Popen(["ip", "netns", "exec", self.namespaces[host], *argv], **kwargs)

    def wine_run(self):
        """A wine-run that runs every Wine process of the bench's prefix inside the bench namespace, with the
        build's server registered there once."""
        wrapper = os.path.join(self.folder, "wine-run")
        if os.path.exists(wrapper):
            return wrapper
        prefix = os.path.join(self.folder, "prefix")
        with open(wrapper, "w") as f:
            f.write(f'#!/bin/sh\nexec ip netns exec {self.namespaces["bench"]} env VORN_WINEPREFIX={prefix} '
                    f'{os.environ["VORN_WINE_RUN"]} "$@"\n')
        os.chmod(wrapper, 0o755)
        for argv in (["wineboot", "-i"],
                     ["regsvr32", "/s", winpath(os.path.join(os.environ["VORN_BIN"], "Vornlink.dll"))]):
            subprocess.run([wrapper, *argv], check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=180)
        return wrapper

    def start_vornlan(self, args, **kwargs):
        """vornlan on the bench host (stopped by close() if not before)."""
        server = VornlanProcess(args, prefix="vornlan-lab-run-", wine_run=self.wine_run(), **kwargs)
        self.servers.append(server)
        return server

    def close(self):
        for server in self.servers:
            server.stop()
        self.servers = []
        if self.folder:
            if self.namespaces["bench"] in self.made:
                subprocess.run(["ip", "netns", "exec", self.namespaces["bench"], "env",
                                f"WINEPREFIX={os.path.join(self.folder, 'prefix')}", "wineserver", "-k"],
                               capture_output=True, timeout=60)
            shutil.rmtree(self.folder, ignore_errors=True)
            self.folder = None
        for namespace in self.made:  # the veth pairs go with them
            subprocess.run(["ip", "netns", "del", namespace], capture_output=True, timeout=30)
        self.made = []
