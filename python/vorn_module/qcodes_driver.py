"""The Vorn calibration module as a QCoDeS instrument, reached over VISA through vornlan.

Needs the ``qcodes`` extra (``pip install "vorn-module[qcodes]"``). The same commands as the PyMeasure
driver, checked by the same validators, with the error queue read after each command: what PyMeasure
assigns to a write-only property (``module.menu = "VORN"``) is a function here (``module.menu("VORN")``),
since the module can't read those back. ``vorn_module.yaml`` simulates the module for pyvisa-sim:

    VornModuleQcodes("vorn", "TCPIP::vornlan-sim::INSTR", pyvisa_sim_file="vorn_module:vorn_module.yaml")
"""
from __future__ import annotations

import logging
from typing import Any, Callable, Generic, List, TypeVar, Union

from qcodes import validators as vals
from qcodes.instrument import VisaInstrument

from .calibration import calibration_arguments, run_stages, stage_lines
from .errors import ErrorEntry, VornError, parse_error_entry, read_error_queue
from .module import (ANALYZER_ADDRESSES, BOARD_NUMBERS, BOARD_TYPES, FINITE, INT16, MENUS, METHODS, MODULE_PORTS,
                     PARAMETERS, PRINTER_PORTS, VIEWS, finite_number, integer_in, keyword, parse_switch,
                     register_number)

log = logging.getLogger(__name__)
log.addHandler(logging.NullHandler())

T = TypeVar("T")


class Accepts(vals.Validator[Any], Generic[T]):
    """A QCoDeS validator around one of the PyMeasure driver's: the same values pass, the same are refused."""

    def __init__(self, check: Callable[[Any, Any], T], values: Any, description: str) -> None:
        self._check, self._values, self._description = check, values, description

    def convert(self, value: Any) -> T:
        """The value as it is sent (keywords upper-cased, registers as text)."""
        return self._check(value, self._values)

    def validate(self, value: Any, context: str = "") -> None:
        try:
            self.convert(value)
        except ValueError as error:
            raise ValueError(f"{error}; {context}") from None

    def __repr__(self) -> str:
        return f"<{self._description}>"


class VornModuleQcodes(VisaInstrument):
    """The Vorn electronic calibration module behind vornlan, for QCoDeS.

    :param name: the instrument's name in QCoDeS (unique in the process)
    :param address: a VISA resource name (``"TCPIP::benchpc::INSTR"``, ``"TCPIP::benchpc::5025::SOCKET"``)
    :param error_checking: read the error queue after each command and raise :class:`VornError` for an
        entry (on by default; the attribute of the same name switches it later)
    :param kwargs: QCoDeS' VisaInstrument arguments (``visalib="@py"``, ``timeout`` in s,
        ``pyvisa_sim_file``...). The terminator is ``"\\n"`` both ways, which a raw socket session needs.
    """

    default_terminator = "\n"
    default_timeout = 10.0

    def __init__(self, name: str, address: str, error_checking: bool = True, **kwargs: Any) -> None:
        self.error_checking = False
        super().__init__(name, address, **kwargs)

        self.frequency_interpolation = self.add_parameter(
            "frequency_interpolation", label="Frequency interpolation",
            get_cmd="VORN:FINT?", set_cmd="VORN:FINT {}", vals=vals.Bool(),
            get_parser=parse_switch, set_parser=lambda on: "ON" if on else "OFF",
            docstring="Whether frequency interpolation is on: VORN:FINT ON|OFF, read with VORN:FINT?.")
        self.averages = self.add_parameter(
            "averages", label="Averages", get_cmd="VORN:IAV?", set_cmd="VORN:IAV {}",
            vals=Accepts(integer_in, INT16, "an integer of -32768..32767"), get_parser=int,
            docstring="The number of averages: VORN:IAV <n>, read with VORN:IAV?. The module judges the count "
                      "itself (the simulated one takes 1..1024): a refusal raises VornError.")

        def keyword_function(name: str, header: str, values: Any, doc: str) -> None:
            check = Accepts(keyword, values, "one of " + ", ".join(values))
            self.add_function(name, call_cmd=header + " {}", args=[check], arg_parser=check.convert,
                              docstring=doc)

        configuration = [Accepts(integer_in, BOARD_TYPES, "board type 1..2"),
                         Accepts(integer_in, BOARD_NUMBERS, "board number 0..8"),
                         Accepts(integer_in, ANALYZER_ADDRESSES, "analyzer address 1..32"),
                         Accepts(integer_in, PRINTER_PORTS, "printer port 1..4")]
        self.add_function("configure", call_cmd="VORN:CONFIG {},{},{},{}", args=configuration,
                          arg_parser=lambda *values: tuple(c.convert(v) for c, v in zip(configuration, values)),
                          docstring="VORN:CONFIG <board type>,<board number>,<analyzer address>,<printer port>")
        delays = [Accepts(finite_number, FINITE, "a finite number"),
                  Accepts(integer_in, INT16, "an integer of -32768..32767")]
        self.add_function("set_delays", call_cmd="VORN:DELAY {!r},{}", args=delays,
                          arg_parser=lambda *values: tuple(c.convert(v) for c, v in zip(delays, values)),
                          docstring="VORN:DELAY <adapter delay in s>,<measure delay>")
        keyword_function("menu", "DISP:MENU", MENUS, "Shows one of the module's menus on the analyzer.")
        keyword_function("calibration_method", "SENS:CORR:COLL:METH", METHODS, "Starts a calibration.")
        keyword_function("parameter", "SENS:CORR:COLL:PAR", PARAMETERS, "The parameter to be measured.")
        keyword_function("view", "SENS:CORR:COLL:VIEW", VIEWS, "The analyzer's display during a calibration.")
        keyword_function("acquire", "SENS:CORR:COLL:ACQ", MODULE_PORTS, "Measures the standards of a port.")
        register = Accepts(register_number, None, "a register, 0 or more")
        self.add_function("save", call_cmd="SENS:CORR:COLL:SAVE {}", args=[register], arg_parser=register.convert,
                          docstring="Saves the calibration in a register (sent as written: 1, '02').")
        for function, command in (("done", "SENS:CORR:COLL:DONE"), ("next", "SENS:CORR:COLL:NEXT"),
                                  ("prior", "SENS:CORR:COLL:PRIOR"), ("resume", "SENS:CORR:COLL:RES"),
                                  ("abort", "VORN:ABORT"), ("clean", "VORN:CLEAN")):
            self.add_function(function, call_cmd=command, docstring=command)

        self.error_checking = error_checking
        self.connect_message()

    # --- The error queue, read after each command ---------------------------------------------------

    def _ask_unchecked(self, command: str) -> str:
        return VisaInstrument.ask_raw(self, command)

    def write_raw(self, cmd: str) -> None:
        super().write_raw(cmd)
        self._after(cmd)

    def ask_raw(self, cmd: str) -> str:
        reply = super().ask_raw(cmd)
        self._after(cmd)
        return reply

    def _after(self, command: str) -> None:
        if self.error_checking:
            errors = self.check_errors()
            if errors:
                raise VornError(errors, command)

    @property
    def next_error(self) -> ErrorEntry:
        """The oldest entry of the error queue as (number, message), ``(0, "No error")`` when empty."""
        return parse_error_entry(self._ask_unchecked("SYST:ERR?"))

    def check_errors(self) -> List[ErrorEntry]:
        """Reads the error queue until it is empty, logs each entry and returns them, oldest first."""
        errors = read_error_queue(self._ask_unchecked)
        for number, message in errors:
            log.error("%s: %d,%s", self.name, number, message)
        return errors

    def raise_errors(self) -> None:
        """Reads the error queue empty and raises :class:`VornError` carrying every entry when there was one."""
        errors = self.check_errors()
        if errors:
            raise VornError(errors)

    def clear(self) -> None:
        """Clears the status and both error queues, vornlan's and the module's (sends ``*CLS``)."""
        VisaInstrument.write_raw(self, "*CLS")

    # --- The calibration ----------------------------------------------------------------------------

    def full_calibration(self, board_type: int = 1, board_number: int = 0, analyzer_address: int = 16,
                         printer_port: int = 1, port: str = "A", register: Union[int, str] = 1,
                         report: Callable[[str], Any] = log.info) -> None:
        """A full two-port calibration as fullcal runs it: VORN:CONFIG, SENS:CORR:COLL:METH FULL, ACQ, SAVE and
        VORN:CLEAN, as :func:`vorn_module.run_full_calibration` runs them (every argument checked first;
        the first failing stage stops it, VORN:CLEAN still runs, and CalibrationError names the stage)."""
        config, port, register = calibration_arguments(board_type, board_number, analyzer_address, printer_port,
                                                       port, register)
        steps = (lambda: self.configure(*config), lambda: self.calibration_method("FULL"),
                 lambda: self.acquire(port), lambda: self.save(register), lambda: self.clean())
        run_stages(self, steps, stage_lines(config, port, register), report)
