"""find_modules against a stand-in resource manager: what is listed, what answers, what is kept. The
network discovery itself (pyvisa-py's broadcast and mDNS) is PyVISA's; loopback carries neither."""
import pyvisa
import pytest

from vorn_module import find_modules
from vorn_module.discovery import FoundModule, is_module_identity

MODULE = "VORN,EC-2P Simulated Module,SIM00001,01.002"


class Session:
    def __init__(self, reply, log):
        self.reply, self.log, self.closed = reply, log, False

    def query(self, command):
        self.log.append(command)
        if isinstance(self.reply, Exception):
            raise self.reply
        return self.reply

    def close(self):
        self.closed = True


class Manager:
    """Lists ``replies``' names; opening one gives a session answering its reply (an exception: raised
    there; a failed open: ``OPEN_FAILS``)."""

    def __init__(self, replies):
        self.replies, self.sessions, self.queries, self.listed_with, self.opened_with = replies, [], [], None, []

    def list_resources(self, query="?*::INSTR"):
        self.listed_with = query
        return tuple(self.replies)

    def open_resource(self, name, **kwargs):
        self.opened_with.append(kwargs)
        reply = self.replies[name]
        if reply is OPEN_FAILS:
            raise pyvisa.errors.VisaIOError(pyvisa.constants.StatusCode.error_resource_not_found)
        session = Session(reply, self.queries)
        self.sessions.append(session)
        return session


OPEN_FAILS = object()
TIMEOUT = pyvisa.errors.VisaIOError(pyvisa.constants.StatusCode.error_timeout)


def test_only_resources_answering_as_a_module_are_kept_in_the_order_listed():
    manager = Manager({
        "TCPIP0::169.254.7.1::inst0::INSTR": MODULE,
        "TCPIP0::169.254.7.2::inst0::INSTR": "KEYSIGHT TECHNOLOGIES,N5222B,MY1234,A.13.95.06",
        "TCPIP0::169.254.7.3::5025::SOCKET": TIMEOUT,
        "TCPIP0::169.254.7.4::hislip0::INSTR": OPEN_FAILS,
        "TCPIP0::169.254.7.5::5025::SOCKET": "vorn,EC-2P,SN2,1.0\n",
        "TCPIP0::169.254.7.6::inst0::INSTR": ConnectionResetError("reset"),
    })
    found = find_modules(resource_manager=manager, timeout=1500)
    assert found == [FoundModule("TCPIP0::169.254.7.1::inst0::INSTR", MODULE),
                     FoundModule("TCPIP0::169.254.7.5::5025::SOCKET", "vorn,EC-2P,SN2,1.0")]
    assert manager.listed_with == "TCPIP?*"
    assert manager.queries == ["*IDN?"] * 5, "each opened resource asked once"
    assert all(s.closed for s in manager.sessions), "every session closed, answering or not"
    assert all(k == dict(read_termination="\n", write_termination="\n", timeout=1500) for k in manager.opened_with)


def test_nothing_listed_finds_nothing():
    assert find_modules(resource_manager=Manager({})) == []


@pytest.mark.parametrize("reply,module", [
    (MODULE, True),
    ("VORN,EC-2P,SIM00001,01.002", True),
    (" Vorn , EC-2P , S1 , 1 ", True),
    ("VORN,EC-2P,SIM00001", False),
    ("VORN,EC-2P,SIM00001,01.002,extra", False),
    ("VORN,,SIM00001,01.002", False),
    ("VORNX,EC-2P,SIM00001,01.002", False),
    ("KEYSIGHT,VORN,1,2", False),
    ("", False),
])
def test_a_module_identity_names_the_manufacturer_first(reply, module):
    assert is_module_identity(reply) is module
