"""A full two-port calibration, step by step, the way the console program fullcal runs it."""
import logging

from .module import (ANALYZER_ADDRESSES, BOARD_NUMBERS, BOARD_TYPES, MODULE_PORTS, PRINTER_PORTS, VornError,
                     _named, integer_in, keyword, register_number)

log = logging.getLogger(__name__)
log.addHandler(logging.NullHandler())

STAGES = ("configure", "method", "acquire", "save", "clean")


class CalibrationError(VornError):
    """A stage of the calibration failed. ``stage`` names it (one of ``STAGES``); ``number``, ``message``
    and ``errors`` are the error queue's entries, as in :class:`VornError`. ``cleanup_error`` holds the
    error of the closing ``VORN:CLEAN`` when that failed too, else None."""

    def __init__(self, stage, error, cleanup_error=None):
        super().__init__(error.errors, error.command)
        self.stage = stage
        self.cleanup_error = cleanup_error
        self.args = (f"{stage} failed: {self.args[0]}",)


def run_full_calibration(module, board_type=1, board_number=0, analyzer_address=16, printer_port=1,
                         port="A", register=1, report=log.info):
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
    config = (_named("board type", integer_in, board_type, BOARD_TYPES),
              _named("board number", integer_in, board_number, BOARD_NUMBERS),
              _named("analyzer address", integer_in, analyzer_address, ANALYZER_ADDRESSES),
              _named("printer port", integer_in, printer_port, PRINTER_PORTS))
    port = _named("module port", keyword, port, MODULE_PORTS)
    register = register_number(register)

    steps = (
        ("configure", lambda: module.configure(*config),
         "Configuring the Vorn module: board type %d, board number %d, analyzer address %d, LPT%d" % config),
        ("method", lambda: setattr(module, "calibration_method", "FULL"), "Method FULL"),
        ("acquire", lambda: module.acquire(port), f"Initiating the FULL 2-port calibration at port '{port}'"),
        ("save", lambda: module.save(register), f"Saving the calibration data in register #{register}"),
        ("clean", module.clean, "Cleaning up"),
    )
    checking = module.error_checking
    module.error_checking = True
    try:
        for stage, step, line in steps:
            report(line)
            try:
                step()
            except VornError as error:
                cleanup_error = None
                if stage != "clean":
                    try:
                        module.clean()
                    except VornError as second:
                        cleanup_error = second
                raise CalibrationError(stage, error, cleanup_error) from error
    finally:
        module.error_checking = checking
