"""A full two-port calibration through vornlan, as fullcal runs it.

    python3 full_calibration.py TCPIP::benchpc::INSTR
    python3 full_calibration.py TCPIP::benchpc::5025::SOCKET --port B --register 3

Copy it and change what you need: every step is one call on the driver.
"""
import argparse
import sys

from vorn_module import CalibrationError, VornModule, run_full_calibration


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("resource", help="VISA resource, e.g. TCPIP::benchpc::INSTR")
    parser.add_argument("--board-type", type=int, default=1, help="1 = CV board, 2 = National Instruments")
    parser.add_argument("--board-number", type=int, default=0)
    parser.add_argument("--address", type=int, default=16, help="the analyzer's GPIB address")
    parser.add_argument("--printer-port", type=int, default=1)
    parser.add_argument("--port", default="A", help="module port, A or B")
    parser.add_argument("--register", default="1", help="calibration register")
    parser.add_argument("--visa-library", default="", help='e.g. "@py" for pyvisa-py')
    parser.add_argument("--timeout", type=int, default=10000, help="VISA timeout in ms")
    args = parser.parse_args()

    module = VornModule(args.resource, visa_library=args.visa_library, timeout=args.timeout)
    try:
        print(module.id)
        run_full_calibration(module, args.board_type, args.board_number, args.address, args.printer_port,
                             args.port, args.register, report=print)
    except CalibrationError as error:
        print(f"ERROR in {error.stage}: {error.number},\"{error.message}\"", file=sys.stderr)
        return 1
    except ValueError as error:
        print(f"ERROR: {error}", file=sys.stderr)
        return 2
    finally:
        module.adapter.connection.close()
        module.adapter.connection = None
    print("Calibration complete")
    return 0


if __name__ == "__main__":
    sys.exit(main())
