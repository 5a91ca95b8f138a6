"""PyMeasure driver for the Vorn electronic calibration module over VISA (vornlan)."""
from .calibration import STAGES, CalibrationError, run_full_calibration
from .module import VornError, VornModule, parse_error_entry

__all__ = ["VornModule", "VornError", "CalibrationError", "run_full_calibration", "STAGES",
           "parse_error_entry"]
__version__ = "0.1.0"
