// A JScript client whose process can't find Vorn.dll: errors arrive as exceptions with a number and a
// description naming the library; calls that send nothing still work; once Vorn.dll is found, the same
// object works. Runs in a folder without Vorn.dll; VORN_SIM_DIR names the simulated one's folder.
// (Checks.js is put in front.)
var FILE_NOT_FOUND = 53;
try {
    var vorn = new ActiveXObject("VornDriver.clsVornlink");

    group = "sending methods fail";
    checkThrows(function () { return vorn.SENS_CORR_COLL_METH("FULL"); }, FILE_NOT_FOUND, "Vorn.dll",
                "SENS_CORR_COLL_METH");
    checkThrows(function () { return vorn.SENS_CORR_COLL_METH("FULL"); }, FILE_NOT_FOUND, "Vorn.dll",
                "SENS_CORR_COLL_METH again");
    checkThrows(function () { return vorn.SYST_ERR(""); }, FILE_NOT_FOUND, "Vorn.dll", "SYST_ERR");

    group = "calls that send nothing";
    checkEqual(typeof vorn.SPI_VERSION(""), "undefined", "SPI_VERSION");
    checkResult(function () { return vorn.CONFIG(1, 7, 16, 0); }, -1, "CONFIG PrinterPort 0");
    checkResult(function () { return vorn.SENS_CORR_COLL_VIEW("SIDE"); }, -1, "SENS_CORR_COLL_VIEW SIDE");

    group = "the library appears";
    shell.CurrentDirectory = shell.Environment("PROCESS")("VORN_SIM_DIR");
    checkResult(function () { return vorn.CMD_IDN(""); }, 0, "CMD_IDN once Vorn.dll is in the current folder");
    checkSent(["*IDN?"], "after the library appeared");
} catch (e) {
    check(false, "uncaught error " + (e.number >>> 0).toString(16) + " " + e.description);
}
finish();
