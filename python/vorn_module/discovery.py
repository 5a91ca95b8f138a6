"""Finding modules on the network: the resources VISA discovery lists, kept when ``*IDN?`` names the module.

pyvisa-py (0.6 and later) lists VXI-11 instruments by a portmapper broadcast on each interface (it needs
psutil) and raw-socket and HiSLIP ones by mDNS (it needs zeroconf); a vendor's VISA does its own discovery.
Anything listed may be another instrument, or answer nothing: each is asked, and only modules are kept.
"""
from __future__ import annotations

import logging
from typing import Any, List, NamedTuple, Optional

log = logging.getLogger(__name__)
log.addHandler(logging.NullHandler())

# The first field of the module's *IDN? reply.
MANUFACTURER = "VORN"


class FoundModule(NamedTuple):
    """A module discovery found: the resource to open it by and its ``*IDN?`` reply."""
    resource: str
    identity: str


def is_module_identity(reply: str) -> bool:
    """Whether an ``*IDN?`` reply is a module's: four fields, the first the manufacturer's name."""
    fields = [field.strip() for field in reply.strip().split(",")]
    return len(fields) == 4 and fields[0].upper() == MANUFACTURER and all(fields[1:3])


def find_modules(visa_library: str = "@py", query: str = "TCPIP?*", timeout: int = 2000,
                 resource_manager: Optional[Any] = None) -> List[FoundModule]:
    """The modules that VISA discovery finds, each checked by its ``*IDN?``, in the order listed.

    :param visa_library: PyVISA's backend (``"@py"``: pyvisa-py; ``""``: the system's VISA)
    :param query: the resources to list (PyVISA's pattern; by default every TCPIP resource)
    :param timeout: how long each resource may take to answer, in ms
    :param resource_manager: a PyVISA ResourceManager to use instead of opening one

    A resource that can't be opened or doesn't answer is left out and logged. Open one with
    ``VornModule(found.resource, visa_library=...)``.
    """
    import pyvisa  # here, so that the package imports without PyVISA's backends being usable

    manager = resource_manager if resource_manager is not None else pyvisa.ResourceManager(visa_library)
    found = []
    for resource in manager.list_resources(query):
        try:
            session = manager.open_resource(resource, read_termination="\n", write_termination="\n",
                                            timeout=timeout)
        except (pyvisa.Error, OSError, ValueError) as error:
            log.info("%s: not opened: %s", resource, error)
            continue
        try:
            reply = session.query("*IDN?").strip()
        except (pyvisa.Error, OSError, ValueError, UnicodeDecodeError) as error:
            log.info("%s: no identity: %s", resource, error)
            continue
        finally:
            session.close()
        if is_module_identity(reply):
            found.append(FoundModule(resource, reply))
        else:
            log.info("%s: not a module: %s", resource, reply)
    return found
