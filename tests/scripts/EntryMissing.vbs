' A Vorn.dll that exports SendScpiCommand but not GetQueryResponse: commands work; every query sends its
' line and then fails with an error naming the missing entry, and leaves the reply variable alone.
' Runs in the folder of that library. (Checks.vbs is put in front of this file.)
Const EntryNotFound = 453
Dim vorn, r, s, reply, attempt
Set vorn = CreateServer()

Group "commands"
s = " full "
r = vorn.SENS_CORR_COLL_METH(s)
CheckResult r, 0, "SENS_CORR_COLL_METH"
CheckEqual s, "FULL", "strMethod"
CheckSent Array("SENS:CORR:COLL:METH FULL"), "SENS_CORR_COLL_METH"

Group "queries"
For attempt = 1 To 2
    reply = "previous text"
    r = 99
    r = vorn.SYST_ERR(reply)
    CheckError EntryNotFound, "GetQueryResponse", "SYST_ERR, attempt " & attempt
    CheckEqual r, 99, "no result code from a failed query"
    CheckEqual reply, "previous text", "reply variable of a failed query"
    CheckSent Array("SYST:ERR?"), "SYST_ERR, attempt " & attempt
Next
r = vorn.CMD_IDN(reply)
CheckError EntryNotFound, "GetQueryResponse", "CMD_IDN"
r = vorn.VORN_IAV("?", reply)
CheckError EntryNotFound, "GetQueryResponse", "VORN_IAV ?"
CheckSent Array("*IDN?", "VORN:IAV?"), "queries"

Group "the object stays usable"
r = vorn.VORN_CLEAN()
CheckResult r, 0, "VORN_CLEAN"
CheckSent Array("VORN:CLEAN"), "VORN_CLEAN"

Finish
