' All nineteen methods called late-bound by name, as a script calls them: the result code and the one
' command line each sends. Runs beside the simulated module. (Checks.vbs is put in front of this file.)
Dim vorn, r, reply, s
Set vorn = CreateServer()

Group "full two-port calibration"
r = vorn.CONFIG(1, 7, 16, 1)
CheckResult r, 0, "CONFIG 1,7,16,1"
r = vorn.SENS_CORR_COLL_METH("FULL")
CheckResult r, 0, "SENS_CORR_COLL_METH FULL"
r = vorn.SENS_CORR_COLL_ACQ("A")
CheckResult r, 0, "SENS_CORR_COLL_ACQ A"
r = vorn.SENS_CORR_COLL_SAVE("1")
CheckResult r, 0, "SENS_CORR_COLL_SAVE 1"
r = vorn.VORN_CLEAN()
CheckResult r, 0, "VORN_CLEAN"
r = vorn.SYST_ERR(reply)
CheckResult r, 0, "SYST_ERR"
CheckEqual ReplyText(reply), "+0,""No error""", "module errors after the calibration"
CheckSent Array("VORN:CONFIG 1,7,16,1", "SENS:CORR:COLL:METH FULL", "SENS:CORR:COLL:ACQ A", _
                "SENS:CORR:COLL:SAVE 1", "VORN:CLEAN", "SYST:ERR?"), "full two-port calibration"

Group "every method"
r = vorn.VORN_DELAY(2.5, 3)
CheckResult r, 0, "VORN_DELAY 2.5, 3"
r = vorn.DISP_MENU("CCHA")
CheckResult r, 0, "DISP_MENU CCHA"
r = vorn.VORN_FINT("OFF")
CheckResult r, 0, "VORN_FINT OFF"
r = vorn.VORN_IAV("3.5")
CheckResult r, 0, "VORN_IAV 3.5"
r = vorn.VORN_ABORT()
CheckResult r, 0, "VORN_ABORT"
r = vorn.SENS_CORR_COLL_PAR("S12")
CheckResult r, 0, "SENS_CORR_COLL_PAR S12"
r = vorn.SENS_CORR_COLL_DONE()
CheckResult r, 0, "SENS_CORR_COLL_DONE"
r = vorn.SENS_CORR_COLL_NEXT()
CheckResult r, 0, "SENS_CORR_COLL_NEXT"
r = vorn.SENS_CORR_COLL_PRIOR()
CheckResult r, 0, "SENS_CORR_COLL_PRIOR"
r = vorn.SENS_CORR_COLL_RES()
CheckResult r, 0, "SENS_CORR_COLL_RES"
r = vorn.SENS_CORR_COLL_VIEW("BOTH")
CheckResult r, 0, "SENS_CORR_COLL_VIEW BOTH"
r = vorn.CMD_IDN(reply)
CheckResult r, 0, "CMD_IDN"
CheckEqual ReplyText(reply), "VORN,EC-2P Simulated Module,SIM00001,01.002", "CMD_IDN reply"
vorn.SPI_VERSION reply
CheckNoError "SPI_VERSION"
CheckEqual reply, "01.002", "SPI_VERSION"
CheckSent Array("VORN:DELAY 2.5,3", "DISP:MENU CCHA", "VORN:FINT OFF", "VORN:IAV 4", "VORN:ABORT", _
                "SENS:CORR:COLL:PAR S12", "SENS:CORR:COLL:DONE", "SENS:CORR:COLL:NEXT", _
                "SENS:CORR:COLL:PRIOR", "SENS:CORR:COLL:RES", "SENS:CORR:COLL:VIEW BOTH", "*IDN?"), _
          "every method"

Group "rejected arguments send nothing"
r = vorn.CONFIG(0, 7, 16, 1)
CheckResult r, -1, "CONFIG BoardType 0"
r = vorn.CONFIG(1, 9, 16, 1)
CheckResult r, -1, "CONFIG BoardNumber 9"
r = vorn.CONFIG(1, 7, 33, 1)
CheckResult r, -1, "CONFIG VNAAddress 33"
r = vorn.CONFIG(1, 7, 16, 5)
CheckResult r, -1, "CONFIG PrinterPort 5"
r = vorn.SENS_CORR_COLL_METH("FUL")
CheckResult r, -1, "SENS_CORR_COLL_METH FUL"
r = vorn.SENS_CORR_COLL_METH("CCHB")
CheckResult r, -1, "SENS_CORR_COLL_METH CCHB"
r = vorn.SENS_CORR_COLL_SAVE("A")
CheckResult r, -1, "SENS_CORR_COLL_SAVE A"
r = vorn.VORN_FINT("1")
CheckResult r, -1, "VORN_FINT 1"
r = vorn.VORN_IAV("1A")
CheckResult r, -1, "VORN_IAV 1A"
r = vorn.DISP_MENU("")
CheckResult r, -1, "DISP_MENU ''"
CheckNothingSent "rejected arguments"

Group "calls the dispatch layer refuses"
' The method is not entered: no result, nothing sent, and the object stays usable.
r = 99
r = vorn.CONFIG(1, 7)
Check Err.Number <> 0, "CONFIG with two of four arguments raised no error"
Err.Clear
CheckEqual r, 99, "result of a refused call"
r = vorn.SENS_CORR_COLL_METH()
Check Err.Number <> 0, "SENS_CORR_COLL_METH without its argument raised no error"
Err.Clear
r = vorn.CONFIG("one", 7, 16, 1)
CheckError 13, "", "CONFIG with text that is no number"
r = vorn.NO_SUCH_METHOD()
CheckError 438, "", "a name the class does not have"
CheckNothingSent "refused calls"
r = vorn.VORN_ABORT()
CheckResult r, 0, "VORN_ABORT after refused calls"
CheckSent Array("VORN:ABORT"), "VORN_ABORT after refused calls"

Finish
