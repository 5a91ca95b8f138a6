' A client whose process can't find Vorn.dll: every call that sends fails with an error naming the
' library, on every call; calls that send nothing still work; once Vorn.dll can be found, the same
' object works without a restart. Runs in a folder without Vorn.dll, with VORN_SIM_DIR naming the
' folder of the simulated one. (Checks.vbs is put in front of this file.)
Const FileNotFound = 53
Const Overflow = 6
Dim vorn, r, s, reply, attempt
Set vorn = CreateServer()

Group "sending methods fail"
For attempt = 1 To 2
    s = " full "
    r = 99
    r = vorn.SENS_CORR_COLL_METH(s)
    CheckError FileNotFound, "Vorn.dll", "SENS_CORR_COLL_METH, attempt " & attempt
    CheckEqual r, 99, "no result code from a failed call"
    CheckEqual s, "FULL", "normalised before the failure"
Next

reply = "previous text"
r = vorn.SYST_ERR(reply)
CheckError FileNotFound, "Vorn.dll", "SYST_ERR"
CheckEqual reply, "previous text", "reply variable of a failed query"

r = vorn.CONFIG(1, 7, 16, 1)
CheckError FileNotFound, "Vorn.dll", "CONFIG"
r = vorn.VORN_CLEAN()
CheckError FileNotFound, "Vorn.dll", "VORN_CLEAN"
r = vorn.VORN_FINT("?", reply)
CheckError FileNotFound, "Vorn.dll", "VORN_FINT ?"
r = vorn.CMD_IDN(reply)
CheckError FileNotFound, "Vorn.dll", "CMD_IDN"

Group "calls that send nothing"
reply = ""
vorn.SPI_VERSION reply
CheckNoError "SPI_VERSION"
CheckEqual reply, "01.002", "SPI_VERSION"
r = vorn.CONFIG(0, 7, 16, 1)
CheckResult r, -1, "CONFIG with BoardType 0"
s = "ful"
r = vorn.SENS_CORR_COLL_METH(s)
CheckResult r, -1, "SENS_CORR_COLL_METH ful"
CheckEqual s, "FUL", "rejected argument, normalised"
r = vorn.VORN_FINT("?")
CheckResult r, -1, "VORN_FINT ? without strReturn"
r = vorn.VORN_IAV("40000")
CheckError Overflow, "", "VORN_IAV 40000"

Group "the library appears"
Dim simDir
simDir = gShell.Environment("PROCESS")("VORN_SIM_DIR")
Check simDir <> "", "VORN_SIM_DIR is set"
gShell.CurrentDirectory = simDir
CheckNoError "changing to " & simDir
reply = ""
r = vorn.CMD_IDN(reply)
CheckResult r, 0, "CMD_IDN once Vorn.dll is in the current folder"
CheckEqual ReplyText(reply), "VORN,EC-2P Simulated Module,SIM00001,01.002", "CMD_IDN reply"
s = " full "
r = vorn.SENS_CORR_COLL_METH(s)
CheckResult r, 0, "SENS_CORR_COLL_METH once Vorn.dll is found"
CheckSent Array("*IDN?", "SENS:CORR:COLL:METH FULL"), "after the library appeared"

Finish
