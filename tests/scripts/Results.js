// What a JScript caller sees: arguments go by value, so no text comes back, but result codes, the
// optional strReturn and errors do. Runs beside the simulated module. (Checks.js is put in front.)
try {
    var vorn = new ActiveXObject("VornDriver.clsVornlink");

    group = "result codes";
    var method = " full ";
    checkResult(function () { return vorn.SENS_CORR_COLL_METH(method); }, 0, "SENS_CORR_COLL_METH ' full '");
    checkEqual(method, " full ", "a JScript variable keeps its text");
    checkSent(["SENS:CORR:COLL:METH FULL"], "SENS_CORR_COLL_METH ' full '");

    checkResult(function () { return vorn.CONFIG(1, 7, 16, 1); }, 0, "CONFIG 1,7,16,1");
    checkResult(function () { return vorn.CONFIG(2, 0, 32, 4); }, 0, "CONFIG 2,0,32,4");
    checkResult(function () { return vorn.CONFIG(1, 7, 0, 1); }, -1, "CONFIG VNAAddress 0");
    checkResult(function () { return vorn.VORN_DELAY(0.25, 10); }, 0, "VORN_DELAY 0.25, 10");
    checkResult(function () { return vorn.SENS_CORR_COLL_ACQ(" b"); }, 0, "SENS_CORR_COLL_ACQ ' b'");
    checkResult(function () { return vorn.SENS_CORR_COLL_ACQ("c"); }, -1, "SENS_CORR_COLL_ACQ 'c'");
    checkResult(function () { return vorn.VORN_CLEAN(); }, 0, "VORN_CLEAN");
    checkSent(["VORN:CONFIG 1,7,16,1", "VORN:CONFIG 2,0,32,4", "VORN:DELAY 0.25,10", "SENS:CORR:COLL:ACQ B",
               "VORN:CLEAN"], "result codes");

    group = "queries and the optional strReturn";
    checkResult(function () { return vorn.SYST_ERR(""); }, 0, "SYST_ERR");
    checkResult(function () { return vorn.VORN_FINT("?"); }, -1, "VORN_FINT '?' without strReturn");
    checkResult(function () { return vorn.VORN_FINT("?", ""); }, 0, "VORN_FINT '?' with strReturn");
    checkResult(function () { return vorn.VORN_IAV("?"); }, -1, "VORN_IAV '?' without strReturn");
    checkResult(function () { return vorn.VORN_IAV("?", ""); }, 0, "VORN_IAV '?' with strReturn");
    checkEqual(typeof vorn.SPI_VERSION(""), "undefined", "SPI_VERSION has no result");
    checkSent(["SYST:ERR?", "VORN:FINT?", "VORN:IAV?"], "queries");

    group = "errors";
    checkThrows(function () { return vorn.VORN_IAV("40000"); }, 6, "", "VORN_IAV 40000 (overflow)");
    checkThrows(function () { return vorn.CONFIG(1, 7); }, null, "", "CONFIG with two of four arguments");
    checkSent([], "errors");
    checkResult(function () { return vorn.VORN_ABORT(); }, 0, "VORN_ABORT after errors");
    checkSent(["VORN:ABORT"], "VORN_ABORT after errors");
} catch (e) {
    check(false, "uncaught error " + (e.number >>> 0).toString(16) + " " + e.description);
}
finish();
