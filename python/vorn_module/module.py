"""The Vorn calibration module as a PyMeasure instrument, reached over VISA through vornlan.

vornlan serves the module as ``TCPIP::<host>::INSTR`` (VXI-11) and ``TCPIP::<host>::5025::SOCKET`` (raw
SCPI). Each member below sends one command; the module receives it as the Vornlink server sends it
(keywords upper-cased). Only the interpolation switch and the averages can be read back: the module has
no queries for its configuration, menu, method and the rest, so those are write-only.

Written for PyMeasure 0.16 and kept working on 0.9 (Debian 12's): where the two differ (SCPIMixin, the
check_set_errors hooks) the difference is bridged here, once.
"""
from __future__ import annotations

import logging
import warnings
import math
import numbers
import re
from typing import Any, List, Optional, Tuple, Union

from pymeasure.instruments import Instrument
from pymeasure.instruments.validators import strict_discrete_set, strict_range

from .errors import ErrorEntry, VornError, parse_error_entry, read_error_queue

try:  # PyMeasure 0.14 and later: the SCPI members come from a mixin; includeSCPI=True is deprecated
    from pymeasure.instruments.generic_types import SCPIMixin
    _BASES: Tuple[type, ...] = (SCPIMixin, Instrument)
    _INIT_ARGUMENTS: dict = {}
except ImportError:
    _BASES = (Instrument,)
    _INIT_ARGUMENTS = {"includeSCPI": True}

# PyMeasure 0.11 and later call check_get_errors()/check_set_errors() after a property made with
# check_get_errors/check_set_errors=True; 0.9 and 0.10 call check_errors() there, which must not raise
# (it is also the explicit check that returns the entries), so there each property gets a wrapper.
_ERROR_HOOKS = hasattr(Instrument, "check_set_errors")

log = logging.getLogger(__name__)
log.addHandler(logging.NullHandler())

# What the server accepts; a value outside these is refused before anything is sent.
BOARD_TYPES = range(1, 3)  # 1 = CV board, 2 = National Instruments board
BOARD_NUMBERS = range(0, 9)
ANALYZER_ADDRESSES = range(1, 33)
PRINTER_PORTS = range(1, 5)  # 1 = LPT1
INT16 = range(-32768, 32768)
FINITE = (-1.7976931348623157e308, 1.7976931348623157e308)
MENUS = ("VORN", "CONF", "SERV", "MODI", "S11C", "S22C", "FULL", "QFUL", "ADAP", "QAD", "CCH", "CCHA", "CCHB")
METHODS = ("ADAP", "CCH", "FULL", "QAD", "QFUL", "S11C", "S22C")
PARAMETERS = ("S11", "S21", "S12", "S22")
MODULE_PORTS = ("A", "B")
VIEWS = ("BOTH", "DIV")

_DECIMAL = re.compile(r"\+?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?\Z")


def integer_in(value: Any, values: range) -> int:
    """Validator: ``value`` is an integer of ``values`` (a range); a bool or a fraction is refused."""
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise ValueError(f"Value of {value!r} is not an integer")
    return strict_discrete_set(int(value), values)


def keyword(value: Any, values: Tuple[str, ...]) -> str:
    """Validator: one of the keywords ``values``, in any case, blanks around it dropped; the upper-cased
    keyword is what is sent, as the server sends it."""
    if not isinstance(value, str):
        raise ValueError(f"Value of {value!r} is not text")
    return strict_discrete_set(value.strip().upper(), values)


def finite_number(value: Any, values: Tuple[float, float] = FINITE) -> float:
    """Validator: a real number within a double's finite range (no NaN, no infinity)."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or math.isnan(value):
        raise ValueError(f"Value of {value!r} is not a finite number")
    return strict_range(float(value), values)


def register_number(value: Any, values: Any = None) -> str:
    """Validator: a calibration register as an integer (0 or more) or as unsigned decimal text (sent as
    written)."""
    if isinstance(value, str):
        text = value.strip()
        if not _DECIMAL.match(text):
            raise ValueError(f"Register {value!r} is not a number")
        return text
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < 0:
        raise ValueError(f"Register {value!r} is not a number of 0 or more")
    return str(int(value))


def parse_switch(reply: str) -> bool:
    """A SCPI boolean reply: 1 or 0 as vornlan answers, ON or OFF as well."""
    text = reply.strip().upper()
    if text in ("1", "ON"):
        return True
    if text in ("0", "OFF"):
        return False
    raise ValueError(f"not a switch state: {reply!r}")


def _named(name: str, validator: Any, value: Any, values: Any) -> Any:
    try:
        return validator(value, values)
    except ValueError as error:
        raise ValueError(f"{name}: {error}") from None


def _checked(prop: property) -> property:
    """PyMeasure before 0.11: the property ``prop`` with the error check after each read and write."""

    def fget(self: "VornModule") -> Any:
        value = prop.fget(self)  # type: ignore[misc]
        self._after()
        return value

    def fset(self: "VornModule", value: Any) -> None:
        prop.fset(self, value)  # type: ignore[misc]
        self._after()

    return property(fget, fset if prop.fset else None, doc=prop.fget.__doc__ if prop.fget else None)


def _control(get_command: str, set_command: str, docs: str, **kwargs: Any) -> property:
    if _ERROR_HOOKS:
        return Instrument.control(get_command, set_command, docs, check_get_errors=True, check_set_errors=True,
                                  **kwargs)
    return _checked(Instrument.control(get_command, set_command, docs, **kwargs))


def _setting(set_command: str, docs: str, **kwargs: Any) -> property:
    if _ERROR_HOOKS:
        return Instrument.setting(set_command, docs, check_set_errors=True, **kwargs)
    return _checked(Instrument.setting(set_command, docs, **kwargs))


class VornModule(*_BASES):  # type: ignore[misc]
    """The Vorn electronic calibration module behind vornlan.

    :param adapter: a VISA resource name (``"TCPIP::benchpc::INSTR"``,
        ``"TCPIP::benchpc::5025::SOCKET"``) or a PyMeasure adapter
    :param error_checking: read the error queue after each command and raise :class:`VornError` for
        an entry (on by default; the attribute of the same name switches it later)
    :param kwargs: passed to PyVISA's ``open_resource`` (``timeout`` in ms, ``visa_library="@py"``...).
        ``read_termination`` and ``write_termination`` default to ``"\\n"``: a raw socket session
        knows a reply has ended by its newline alone and would otherwise wait out its whole timeout.

    .. code-block:: python

        module = VornModule("TCPIP::benchpc::5025::SOCKET")
        module.configure(1, 7, 16, 1)
        module.calibration_method = "FULL"
        module.acquire("A")
        module.save(1)
        module.clean()
    """

    def __init__(self, adapter: Any, name: str = "Vorn calibration module", error_checking: bool = True,
                 **kwargs: Any) -> None:
        if isinstance(adapter, str):
            kwargs.setdefault("read_termination", "\n")
            kwargs.setdefault("write_termination", "\n")
        self._last_command: Optional[str] = None
        super().__init__(adapter, name, **_INIT_ARGUMENTS, **kwargs)
        self.error_checking = error_checking

    # --- What was sent last: the command an error is reported after ---------------------------------
    # PyMeasure 0.16 sends ask() and values() through write(); 0.9 hands them to the adapter directly.

    def write(self, command: str, **kwargs: Any) -> None:
        self._last_command = command
        super().write(command, **kwargs)

    def ask(self, command: str, *args: Any, **kwargs: Any) -> str:
        self._last_command = command
        return super().ask(command, *args, **kwargs)

    def values(self, command: str, **kwargs: Any) -> List[Any]:
        self._last_command = command
        return super().values(command, **kwargs)

    # --- The error queue ------------------------------------------------------------------------

    @property
    def next_error(self) -> ErrorEntry:
        """The oldest entry of the error queue as (number, message), ``(0, "No error")`` when empty.
        Sends ``SYSTem:ERRor?``: vornlan's own entries for this client come first, then the module's."""
        return parse_error_entry(self.ask("SYST:ERR?"))

    def check_errors(self) -> List[ErrorEntry]:
        """Reads the error queue until it is empty (``SYST:ERR?`` until it answers 0), logs each entry
        and returns them, oldest first, as (number, message) pairs: PyMeasure's contract, raising
        nothing. :meth:`raise_errors` raises them instead."""
        errors = read_error_queue(self.ask)
        for number, message in errors:
            log.error("%s: %d,%s", self.name, number, message)
        return errors

    def read_errors(self) -> List[ErrorEntry]:
        """Before 0.2 the name of :meth:`check_errors`; kept so that scripts written then still run."""
        warnings.warn("read_errors() is check_errors() now", FutureWarning, stacklevel=2)
        return self.check_errors()

    def raise_errors(self) -> None:
        """Reads the error queue empty and raises :class:`VornError` carrying every entry when there was
        one. Runs after each command while ``error_checking`` is on."""
        command = self._last_command
        errors = self.check_errors()
        if errors:
            raise VornError(errors, command)

    def check_get_errors(self) -> List[ErrorEntry]:
        """PyMeasure's hook after reading a property: :meth:`raise_errors` while ``error_checking``."""
        self._after()
        return []

    def check_set_errors(self) -> List[ErrorEntry]:
        """PyMeasure's hook after setting a property: :meth:`raise_errors` while ``error_checking``."""
        self._after()
        return []

    def _after(self) -> None:
        if self.error_checking:
            self.raise_errors()

    def _command(self, command: str) -> None:
        self.write(command)
        self._after()

    def clear(self) -> None:
        """Clears the status and both error queues, vornlan's and the module's (sends ``*CLS``)."""
        self.write("*CLS")

    def reset(self) -> None:
        """The module has no reset (``*RST`` would only give -200): raises NotImplementedError and sends
        nothing."""
        raise NotImplementedError("the Vorn module has no reset")

    # --- Identification -------------------------------------------------------------------------

    @property
    def id(self) -> str:
        """The module's identification (sends ``*IDN?``), e.g.
        ``"VORN,EC-2P Simulated Module,SIM00001,01.002"``."""
        reply = self.ask("*IDN?").strip()
        self._after()
        return reply

    # --- Configuration and delays ---------------------------------------------------------------

    def configure(self, board_type: int, board_number: int, analyzer_address: int, printer_port: int) -> None:
        """Configures the module's system: sends ``VORN:CONFIG <type>,<number>,<address>,<port>``.

        :param board_type: the GPIB board, 1 = CV board, 2 = National Instruments board
        :param board_number: 0..8 (a CV board is usually 7, a National Instruments board 0)
        :param analyzer_address: the network analyzer's GPIB address, 1..32
        :param printer_port: 1..4 (1 = LPT1)
        """
        values = (_named("board type", integer_in, board_type, BOARD_TYPES),
                  _named("board number", integer_in, board_number, BOARD_NUMBERS),
                  _named("analyzer address", integer_in, analyzer_address, ANALYZER_ADDRESSES),
                  _named("printer port", integer_in, printer_port, PRINTER_PORTS))
        self._command("VORN:CONFIG %d,%d,%d,%d" % values)

    def set_delays(self, adapter_delay: float, measure_delay: int) -> None:
        """Sets the delays: sends ``VORN:DELAY <adapter delay>,<measure delay>``.

        :param adapter_delay: the adapter delay in seconds, any finite number
        :param measure_delay: the measurement delay, an integer of -32768..32767
        """
        seconds = _named("adapter delay", finite_number, adapter_delay, FINITE)
        count = _named("measure delay", integer_in, measure_delay, INT16)
        self._command("VORN:DELAY %r,%d" % (seconds, count))

    # --- Display and switches -------------------------------------------------------------------

    menu = _setting(
        "DISP:MENU %s",
        """Shows one of the module's menus on the analyzer (write-only): sends ``DISP:MENU <menu>``,
        one of VORN, CONF, SERV, MODI, S11C, S22C, FULL, QFUL, ADAP, QAD, CCH, CCHA, CCHB.""",
        validator=keyword, values=MENUS)

    frequency_interpolation = _control(
        "VORN:FINT?", "VORN:FINT %s",
        """Whether frequency interpolation is on (True) or off (False). Sends ``VORN:FINT ON|OFF``; read
        with ``VORN:FINT?``.""",
        validator=strict_discrete_set, values=(True, False),
        set_process=lambda on: "ON" if on else "OFF", cast=str, get_process=parse_switch)

    averages = _control(
        "VORN:IAV?", "VORN:IAV %d",
        """The number of averages, an integer. Sends ``VORN:IAV <n>``; read with ``VORN:IAV?``. The
        server takes -32768..32767; the module judges the count itself (the simulated one takes 1..1024)
        and an error of its raises :class:`VornError`.""",
        validator=integer_in, values=INT16, cast=int)

    view = _setting(
        "SENS:CORR:COLL:VIEW %s",
        """The analyzer's display mode during a calibration (write-only): sends
        ``SENS:CORR:COLL:VIEW BOTH|DIV``.""",
        validator=keyword, values=VIEWS)

    # --- The calibration ------------------------------------------------------------------------

    calibration_method = _setting(
        "SENS:CORR:COLL:METH %s",
        """Starts a calibration of this method (write-only): sends ``SENS:CORR:COLL:METH <method>``, one
        of ADAP, CCH, FULL, QAD, QFUL, S11C, S22C.""",
        validator=keyword, values=METHODS)

    parameter = _setting(
        "SENS:CORR:COLL:PAR %s",
        """The parameter to be measured (write-only): sends ``SENS:CORR:COLL:PAR <p>``, one of S11,
        S21, S12, S22.""",
        validator=keyword, values=PARAMETERS)

    def acquire(self, port: str) -> None:
        """Measures the standards of module port ``port``: sends ``SENS:CORR:COLL:ACQ A|B``."""
        self._command("SENS:CORR:COLL:ACQ %s" % _named("module port", keyword, port, MODULE_PORTS))

    def save(self, register: Union[int, str]) -> None:
        """Saves the calibration in a register: sends ``SENS:CORR:COLL:SAVE <register>``, the register
        as written (an integer, or decimal text such as ``"02"``)."""
        self._command("SENS:CORR:COLL:SAVE %s" % register_number(register))

    def done(self) -> None:
        """Ends the confidence check, sets the module idle and restores the analyzer's display: sends
        ``SENS:CORR:COLL:DONE``."""
        self._command("SENS:CORR:COLL:DONE")

    def next(self) -> None:
        """Goes on to the next phase (phase 1 to phase 2 of an adapter calibration): sends
        ``SENS:CORR:COLL:NEXT``."""
        self._command("SENS:CORR:COLL:NEXT")

    def prior(self) -> None:
        """Goes back to the prior phase: sends ``SENS:CORR:COLL:PRIOR``."""
        self._command("SENS:CORR:COLL:PRIOR")

    def resume(self) -> None:
        """Resumes (and so ends) the calibration in progress: sends ``SENS:CORR:COLL:RES``."""
        self._command("SENS:CORR:COLL:RES")

    def abort(self) -> None:
        """Aborts the calibration in progress: sends ``VORN:ABORT``."""
        self._command("VORN:ABORT")

    def clean(self) -> None:
        """Ends the calibration in progress and cleans up: sends ``VORN:CLEAN``."""
        self._command("VORN:CLEAN")
