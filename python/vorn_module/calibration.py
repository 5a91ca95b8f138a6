"""A full two-port calibration, step by step, the way the console program fullcal runs it. The stages, their
arguments' checks and what a failure does are shared by both drivers (PyMeasure's and QCoDeS')."""
from __future__ import annotations

import logging
from typing import Any, Callable, Sequence, Tuple, Union

from .errors import VornError
from .module import (ANALYZER_ADDRESSES, BOARD_NUMBERS, BOARD_TYPES, MODULE_PORTS, PRINTER_PORTS, _named,
                     integer_in, keyword, register_number)

log = logging.getLogger(__name__)
log.addHandler(logging.NullHandler())

STAGES = ("configure", "method", "acquire", "save", "clean")

Config = Tuple[int, int, int, int]
Stage = Tuple[str, Callable[[], Any], str]


class CalibrationError(VornError):
    """A stage of the calibration failed. ``stage`` names it (one of ``STAGES``); ``number``, ``message``
    and ``errors`` are the error queue's entries, as in :class:`VornError`. ``cleanup_error`` holds the
    error of the closing ``VORN:CLEAN`` when that failed too, else None."""

    def __init__(self, stage: str, error: VornError, cleanup_error: VornError | None = None) -> None:
        super().__init__(error.errors, error.command)
        self.stage = stage
        self.cleanup_error = cleanup_error
        self.args = (f"{stage} failed: {self.args[0]}",)


def calibration_arguments(board_type: int, board_number: int, analyzer_address: int, printer_port: int,
                          port: str, register: Union[int, str]) -> Tuple[Config, str, str]:
    """The configuration, module port and register as sent; ValueError naming the first one refused."""
    config = (_named("board type", integer_in, board_type, BOARD_TYPES),
              _named("board number", integer_in, board_number, BOARD_NUMBERS),
              _named("analyzer address", integer_in, analyzer_address, ANALYZER_ADDRESSES),
              _named("printer port", integer_in, printer_port, PRINTER_PORTS))
    return config, _named("module port", keyword, port, MODULE_PORTS), register_number(register)


def stage_lines(config: Config, port: str, register: str) -> Tuple[str, ...]:
    """What ``report`` is told at each stage, in the order of ``STAGES``."""
    return ("Configuring the Vorn module: board type %d, board number %d, analyzer address %d, LPT%d" % config,
            "Method FULL", f"Initiating the FULL 2-port calibration at port '{port}'",
            f"Saving the calibration data in register #{register}", "Cleaning up")


def run_stages(module: Any, steps: Sequence[Callable[[], Any]], lines: Sequence[str],
               report: Callable[[str], Any]) -> None:
    """Runs the steps of ``STAGES`` with the error check on whatever ``module.error_checking`` says;
    the first that raises VornError stops the run, ``steps[-1]`` (the clean-up) still runs, and
    CalibrationError names the stage."""
    checking = module.error_checking
    module.error_checking = True
    try:
        for stage, step, line in zip(STAGES, steps, lines):
            report(line)
            try:
                step()
            except VornError as error:
                cleanup_error = None
                if stage != STAGES[-1]:
                    try:
                        steps[-1]()
                    except VornError as second:
                        cleanup_error = second
                raise CalibrationError(stage, error, cleanup_error) from error
    finally:
        module.error_checking = checking


def run_full_calibration(module: Any, board_type: int = 1, board_number: int = 0, analyzer_address: int = 16,
                         printer_port: int = 1, port: str = "A", register: Union[int, str] = 1,
                         report: Callable[[str], Any] = log.info) -> None:
    """Runs a full two-port calibration on ``module`` (a :class:`VornModule`) with fullcal's stages and
    defaults (``fullcal`` without options sends ``VORN:CONFIG 1,0,16,1``; ``/g:1`` is board number 7):

    1. ``VORN:CONFIG <board type>,<board number>,<analyzer address>,<printer port>``
    2. ``SENS:CORR:COLL:METH FULL``
    3. ``SENS:CORR:COLL:ACQ <port>``
    4. ``SENS:CORR:COLL:SAVE <register>``
    5. ``VORN:CLEAN``

    The error queue is read after each stage whatever ``module.error_checking`` says. Every argument is
    checked before anything is sent (ValueError). Where fullcal shows a message box and goes on, this
    stops at the first stage that fails, still sends ``VORN:CLEAN`` so the module is left idle, and
    raises :class:`CalibrationError` naming the stage. ``report`` is called with a line for each stage.
    """
    config, port, register = calibration_arguments(board_type, board_number, analyzer_address, printer_port,
                                                   port, register)
    steps = (lambda: module.configure(*config), lambda: setattr(module, "calibration_method", "FULL"),
             lambda: module.acquire(port), lambda: module.save(register), module.clean)
    run_stages(module, steps, stage_lines(config, port, register), report)
