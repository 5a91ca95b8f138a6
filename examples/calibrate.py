"""Full two-port calibration of a Vorn module through the Vornlink automation server, from Python.

UNTESTED HERE: the project's tests run under Wine without a Windows Python. Written for CPython 3 on
Windows with pywin32 (pip install pywin32).

    python calibrate.py

Needs the server registered (regsvr32 Vornlink.dll). A 32-bit Python loads the server in process and
finds Vorn.dll in the current folder or on PATH. A 64-bit Python gets the server in the COM surrogate
(dllhost.exe), which doesn't start in your folder: put the folder of Vorn.dll on the user's or the
system's PATH. Exit code: 0 done, 1 a step was rejected or the module reported errors, 2 the server
failed.
"""
import sys

import pythoncom
import win32com.client

BOARD_TYPE = 1     # 1 = CV board, 2 = NI board
BOARD_NUMBER = 7   # CV boards are usually 7, NI boards 0
VNA_ADDRESS = 16   # GPIB address of the network analyzer, 1 to 32
PRINTER_PORT = 1   # 1 = LPT1, 2 = LPT2, ...


def reply_text(reply):
    """Query replies are 257 characters long: the module's text, then NUL characters. Cut them there."""
    return reply.split("\0", 1)[0]


def split_call(returned):
    """Every parameter is [in, out], so with the type library pywin32 returns a tuple: the result code,
    then the new value of each parameter. Returns (result code, [new values])."""
    if isinstance(returned, tuple):
        return returned[0], list(returned[1:])
    return returned, []


def main():
    try:
        # EnsureDispatch reads the type library: it knows the parameters are by reference.
        vorn = win32com.client.gencache.EnsureDispatch("VornDriver.clsVornlink")
    except pythoncom.com_error as error:
        print(f"Cannot create VornDriver.clsVornlink (is Vornlink.dll registered?): {error}")
        return 2

    failed = False

    def step(what, returned):
        """0 means the command was sent; -1 means an argument was rejected and nothing was sent."""
        nonlocal failed
        result, values = split_call(returned)
        if result != 0:
            print(f"{what} rejected its argument")
            failed = True
        return result == 0, values

    try:
        version = vorn.SPI_VERSION("")  # no result code: only the version text comes back
        _, (identity,) = step("CMD_IDN", vorn.CMD_IDN(""))
        print(f"Vornlink {version}, module: {reply_text(identity)}")

        step("CONFIG", vorn.CONFIG(BOARD_TYPE, BOARD_NUMBER, VNA_ADDRESS, PRINTER_PORT))
        _, (method,) = step("SENS_CORR_COLL_METH", vorn.SENS_CORR_COLL_METH("full"))  # comes back as FULL
        step("SENS_CORR_COLL_ACQ", vorn.SENS_CORR_COLL_ACQ("A"))
        saved, (register,) = step("SENS_CORR_COLL_SAVE", vorn.SENS_CORR_COLL_SAVE("1"))
        if saved and not failed:
            print(f"Calibration saved in register {register}")
        step("VORN_CLEAN", vorn.VORN_CLEAN())

        # A sent command may still fail in the module: its errors wait in the error queue, oldest
        # first, until SYST_ERR answers with error number 0.
        for _ in range(20):
            _, (reply,) = step("SYST_ERR", vorn.SYST_ERR(""))
            reply = reply_text(reply)
            if reply.startswith(("+0,", "0,")):
                break
            print(f"Module error: {reply}")
            failed = True
    except pythoncom.com_error as error:
        # A failure of the server itself, such as Vorn.dll not found; the description is in excepinfo.
        _, text, excepinfo, _ = error.args
        description = excepinfo[2] if excepinfo else text
        print(f"The server failed: {description}")
        return 2

    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
