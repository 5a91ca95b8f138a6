' What a VBScript caller sees in its own variables after each call: normalised arguments, query
' replies, the optional strReturn, and numbers that keep their type. Runs beside the simulated module.
' (Checks.vbs is put in front of this file.)
Dim vorn, r, s, reply, v, a, b, c, d, n
Set vorn = CreateServer()

Group "normalised arguments come back"
s = " full "
r = vorn.SENS_CORR_COLL_METH(s)
CheckResult r, 0, "SENS_CORR_COLL_METH ' full '"
CheckEqual s, "FULL", "strMethod after SENS_CORR_COLL_METH"
CheckSent Array("SENS:CORR:COLL:METH FULL"), "SENS_CORR_COLL_METH ' full '"

s = " b"
r = vorn.SENS_CORR_COLL_ACQ(s)
CheckResult r, 0, "SENS_CORR_COLL_ACQ ' b'"
CheckEqual s, "B", "strModule after SENS_CORR_COLL_ACQ"
CheckSent Array("SENS:CORR:COLL:ACQ B"), "SENS_CORR_COLL_ACQ ' b'"

s = " 1 "
r = vorn.SENS_CORR_COLL_SAVE(s)
CheckResult r, 0, "SENS_CORR_COLL_SAVE ' 1 '"
CheckEqual s, "1", "strCalSet after SENS_CORR_COLL_SAVE"
CheckSent Array("SENS:CORR:COLL:SAVE 1"), "SENS_CORR_COLL_SAVE ' 1 '"

s = "c"
r = vorn.SENS_CORR_COLL_ACQ(s)
CheckResult r, -1, "SENS_CORR_COLL_ACQ 'c'"
CheckEqual s, "C", "a rejected argument stays normalised"
CheckNothingSent "SENS_CORR_COLL_ACQ 'c'"

s = "full "
r = vorn.DISP_MENU(s)
CheckResult r, -1, "DISP_MENU 'full '"
CheckEqual s, "FULL ", "DISP_MENU upper-cases without trimming"
CheckNothingSent "DISP_MENU 'full '"

s = "FULL" & vbTab
r = vorn.SENS_CORR_COLL_METH(s)
CheckResult r, -1, "SENS_CORR_COLL_METH with a tab"
CheckEqual s, "FULL" & vbTab, "a tab is not trimmed"
CheckNothingSent "SENS_CORR_COLL_METH with a tab"

s = " off "
r = vorn.VORN_FINT(s)
CheckResult r, 0, "VORN_FINT ' off '"
CheckEqual s, "OFF", "strOnOff after VORN_FINT"
CheckSent Array("VORN:FINT OFF"), "VORN_FINT ' off '"

s = " 16 "
r = vorn.VORN_IAV(s)
CheckResult r, 0, "VORN_IAV ' 16 '"
CheckEqual s, " 16 ", "VORN_IAV leaves strAvg as it was"
CheckSent Array("VORN:IAV 16"), "VORN_IAV ' 16 '"

' (s) hands the server a copy: the variable keeps its text, the module still gets the keyword.
s = " div "
r = vorn.SENS_CORR_COLL_VIEW((s))
CheckResult r, 0, "SENS_CORR_COLL_VIEW ((s))"
CheckEqual s, " div ", "a variable passed by value"
CheckSent Array("SENS:CORR:COLL:VIEW DIV"), "SENS_CORR_COLL_VIEW ((s))"

r = vorn.SENS_CORR_COLL_PAR("s21")
CheckResult r, 0, "SENS_CORR_COLL_PAR with a literal"
CheckSent Array("SENS:CORR:COLL:PAR S21"), "SENS_CORR_COLL_PAR with a literal"

Dim unset
r = vorn.SENS_CORR_COLL_METH(unset)
CheckResult r, -1, "SENS_CORR_COLL_METH with an Empty variable"
Check unset = "", "an Empty argument reads as empty text"
CheckNothingSent "SENS_CORR_COLL_METH with an Empty variable"

Group "query replies"
Dim reply2
r = vorn.SYST_ERR(reply2)
CheckResult r, 0, "SYST_ERR into an Empty variable"
CheckEqual reply2, PaddedReply("+0,""No error"""), "SYST_ERR reply"
CheckEqual ReplyText(reply2), "+0,""No error""", "SYST_ERR reply cut at the first Chr(0)"
CheckSent Array("SYST:ERR?"), "SYST_ERR"

' A module error queued by an acquisition without a calibration method, read back oldest first.
r = vorn.VORN_CLEAN()
CheckResult r, 0, "VORN_CLEAN"
r = vorn.SENS_CORR_COLL_ACQ("A")
CheckResult r, 0, "SENS_CORR_COLL_ACQ before a method"
reply = "previous text"
r = vorn.SYST_ERR(reply)
CheckResult r, 0, "SYST_ERR with an error queued"
CheckEqual reply, PaddedReply("-221,""Settings conflict;acquisition needs a calibration method"""), "queued module error"
r = vorn.SYST_ERR(reply)
CheckEqual reply, PaddedReply("+0,""No error"""), "error queue after reading its entry"
CheckSent Array("VORN:CLEAN", "SENS:CORR:COLL:ACQ A", "SYST:ERR?", "SYST:ERR?"), "error queue read"

Dim idn
r = vorn.CMD_IDN(idn)
CheckResult r, 0, "CMD_IDN"
CheckEqual idn, PaddedReply("VORN,EC-2P Simulated Module,SIM00001,01.002"), "CMD_IDN reply"
CheckSent Array("*IDN?"), "CMD_IDN"

v = ""
r = vorn.SPI_VERSION(v)
CheckNoError "SPI_VERSION"
CheckEqual r, Empty, "SPI_VERSION has no result"
CheckEqual v, "01.002", "SPI_VERSION text"
CheckNothingSent "SPI_VERSION"

Group "optional strReturn"
r = vorn.VORN_FINT("?")
CheckResult r, -1, "VORN_FINT '?' without strReturn"
CheckNothingSent "VORN_FINT '?' without strReturn"

reply = ""
r = vorn.VORN_FINT(" ? ", reply)
CheckResult r, 0, "VORN_FINT ' ? ' with strReturn"
CheckEqual reply, PaddedReply("0"), "frequency interpolation state after VORN:FINT OFF"
CheckSent Array("VORN:FINT?"), "VORN_FINT ' ? ' with strReturn"

reply = "untouched"
r = vorn.VORN_FINT("on", reply)
CheckResult r, 0, "VORN_FINT 'on' with strReturn"
CheckEqual reply, "untouched", "strReturn of a setting"
CheckSent Array("VORN:FINT ON"), "VORN_FINT 'on' with strReturn"

r = vorn.VORN_IAV("?")
CheckResult r, -1, "VORN_IAV '?' without strReturn"
CheckNothingSent "VORN_IAV '?' without strReturn"

reply = ""
r = vorn.VORN_IAV("?", reply)
CheckResult r, 0, "VORN_IAV '?' with strReturn"
CheckEqual reply, PaddedReply("16"), "number of averages after VORN:IAV 16"
CheckSent Array("VORN:IAV?"), "VORN_IAV '?' with strReturn"

reply = "untouched"
r = vorn.VORN_IAV(" ? ", reply)
CheckResult r, -1, "VORN_IAV ' ? ' (not trimmed)"
CheckEqual reply, "untouched", "strReturn of a rejected VORN_IAV"
CheckNothingSent "VORN_IAV ' ? '"

Group "numbers keep their type"
a = 1 : b = 7 : c = 16 : d = 1
r = vorn.CONFIG(a, b, c, d)
CheckResult r, 0, "CONFIG with Integer variables"
CheckEqual a, 1, "BoardType" : CheckEqual b, 7, "BoardNumber"
CheckEqual c, 16, "VNAAddress" : CheckEqual d, 1, "PrinterPort"
CheckSent Array("VORN:CONFIG 1,7,16,1"), "CONFIG with Integer variables"

' Other types are converted for the call only.
a = CLng(2) : b = "0" : c = 32.0 : d = " 4 "
r = vorn.CONFIG(a, b, c, d)
CheckResult r, 0, "CONFIG with Long, String and Double variables"
CheckEqual a, CLng(2), "a Long argument"
CheckEqual b, "0", "a String argument for a number"
CheckEqual c, 32.0, "a Double argument for a 16-bit integer"
CheckEqual d, " 4 ", "a String argument with blanks"
CheckSent Array("VORN:CONFIG 2,0,32,4"), "CONFIG with converted arguments"

a = 0.25 : b = 10
r = vorn.VORN_DELAY(a, b)
CheckResult r, 0, "VORN_DELAY 0.25, 10"
CheckEqual a, 0.25, "AdapterDelayInSeconds" : CheckEqual b, 10, "MeasureDelay"
CheckSent Array("VORN:DELAY 0.25,10"), "VORN_DELAY 0.25, 10"

' A number where text is expected: converted to text for the call, not written back.
n = 2
r = vorn.SENS_CORR_COLL_SAVE(n)
CheckResult r, 0, "SENS_CORR_COLL_SAVE with an Integer"
CheckEqual n, 2, "an Integer register"
CheckSent Array("SENS:CORR:COLL:SAVE 2"), "SENS_CORR_COLL_SAVE with an Integer"

n = 5.5
r = vorn.SYST_ERR(n)
CheckResult r, 0, "SYST_ERR into a Double variable"
CheckEqual n, 5.5, "a Double variable does not take the reply"
CheckSent Array("SYST:ERR?"), "SYST_ERR into a Double variable"

Finish
