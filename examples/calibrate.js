// Full two-port calibration of a Vorn module through the Vornlink automation server, in JScript.
//
//   cscript //nologo calibrate.js
//
// Needs the server registered (regsvr32 Vornlink.dll) and Vorn.dll in the current folder or on PATH.
// JScript passes every argument by value: it sees result codes and errors, but not the text the server
// writes back (normalised arguments, query replies such as SYST_ERR). Read those from VBScript,
// PowerShell or Python. Exit code: 0 done, 1 a step was rejected, 2 the server failed.
var BOARD_TYPE = 1;     // 1 = CV board, 2 = NI board
var BOARD_NUMBER = 7;   // CV boards are usually 7, NI boards 0
var VNA_ADDRESS = 16;   // GPIB address of the network analyzer, 1 to 32
var PRINTER_PORT = 1;   // 1 = LPT1, 2 = LPT2, ...
var REGISTER = "1";

var vorn;
try {
    vorn = new ActiveXObject("VornDriver.clsVornlink");
} catch (e) {
    WScript.Echo("Cannot create VornDriver.clsVornlink (is Vornlink.dll registered?): " + e.description);
    WScript.Quit(2);
}

// Each method returns 0 when its command was sent and -1 when an argument was rejected (nothing is
// sent then). A failure of the server itself, such as Vorn.dll not found, is thrown.
var failed = false;
function step(what, call) {
    var result;
    try {
        result = call();
    } catch (e) {
        WScript.Echo(what + " failed: " + e.description + " (error " + (e.number & 0xFFFF) + ")");
        WScript.Quit(2);
    }
    if (result != 0) {
        WScript.Echo(what + " rejected its argument");
        failed = true;
    }
    return result == 0;
}

step("CONFIG", function () { return vorn.CONFIG(BOARD_TYPE, BOARD_NUMBER, VNA_ADDRESS, PRINTER_PORT); });
step("SENS_CORR_COLL_METH", function () { return vorn.SENS_CORR_COLL_METH("full"); });
step("SENS_CORR_COLL_ACQ", function () { return vorn.SENS_CORR_COLL_ACQ("A"); });
if (step("SENS_CORR_COLL_SAVE", function () { return vorn.SENS_CORR_COLL_SAVE(REGISTER); }) && !failed)
    WScript.Echo("Calibration saved in register " + REGISTER);
step("VORN_CLEAN", function () { return vorn.VORN_CLEAN(); });

WScript.Quit(failed ? 1 : 0);
