"""Drivers for the Vorn electronic calibration module over VISA (vornlan): PyMeasure's
(:class:`VornModule`) and, with the ``qcodes`` extra, QCoDeS' (``vorn_module.qcodes_driver``)."""
from .calibration import STAGES, CalibrationError, run_full_calibration
from .discovery import find_modules
from .errors import VornError, parse_error_entry
from .module import VornModule

__all__ = ["VornModule", "VornError", "CalibrationError", "run_full_calibration", "STAGES",
           "parse_error_entry", "find_modules"]
# The one place the package's version is written (pyproject.toml reads it from here).
__version__ = "0.2.0"
