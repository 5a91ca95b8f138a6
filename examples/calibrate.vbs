' Full two-port calibration of a Vorn module through the Vornlink automation server.
'
'   cscript //nologo calibrate.vbs
'
' Needs the server registered (regsvr32 Vornlink.dll) and Vorn.dll in the current folder or on PATH.
' Exit code: 0 done, 1 a step was rejected or the module reported errors, 2 the server failed.
Option Explicit
On Error Resume Next

Const BoardType = 1      ' 1 = CV board, 2 = NI board
Const BoardNumber = 7    ' CV boards are usually 7, NI boards 0
Const VNAAddress = 16    ' GPIB address of the network analyzer, 1 to 32
Const PrinterPort = 1    ' 1 = LPT1, 2 = LPT2, ...

Dim vorn, failed, result
failed = False

Set vorn = CreateObject("VornDriver.clsVornlink")
If Err.Number <> 0 Then
    WScript.Echo "Cannot create VornDriver.clsVornlink (is Vornlink.dll registered?): " & Err.Description
    WScript.Quit 2
End If

' Call after each method. A raised error means the server could not do its work (for example Vorn.dll
' not found); a result of -1 means an argument was rejected and nothing was sent. Under On Error Resume
' Next a failing statement is skipped whole, so each call stores its result in a statement of its own.
Sub Checked(result, what)
    If Err.Number <> 0 Then
        WScript.Echo what & " failed: " & Err.Description & " (error " & Err.Number & ")"
        WScript.Quit 2
    End If
    If result <> 0 Then
        WScript.Echo what & " rejected its argument"
        failed = True
    End If
End Sub

' Query replies are 257 characters long: the module's text, then Chr(0) characters. Cut them there.
Function ReplyText(reply)
    Dim zero
    zero = InStr(reply, Chr(0))
    If zero > 0 Then ReplyText = Left(reply, zero - 1) Else ReplyText = reply
End Function

Dim version, identity
vorn.SPI_VERSION version
result = vorn.CMD_IDN(identity)
Checked result, "CMD_IDN"
WScript.Echo "Vornlink " & version & ", module: " & ReplyText(identity)

result = vorn.CONFIG(BoardType, BoardNumber, VNAAddress, PrinterPort)
Checked result, "CONFIG"

' String arguments come back normalised: "full" is "FULL" afterwards.
Dim method, port, register
method = "full"
result = vorn.SENS_CORR_COLL_METH(method)
Checked result, "SENS_CORR_COLL_METH " & method
port = "A"
result = vorn.SENS_CORR_COLL_ACQ(port)
Checked result, "SENS_CORR_COLL_ACQ " & port
register = "1"
result = vorn.SENS_CORR_COLL_SAVE(register)
Checked result, "SENS_CORR_COLL_SAVE " & register
If Not failed Then WScript.Echo "Calibration saved in register " & register
result = vorn.VORN_CLEAN()
Checked result, "VORN_CLEAN"

' A sent command may still fail in the module: its errors wait in the error queue, oldest first,
' until SYST_ERR answers with error number 0.
Dim reply, entries
For entries = 1 To 20
    result = vorn.SYST_ERR(reply)
    Checked result, "SYST_ERR"
    reply = ReplyText(reply)
    If Left(reply, 2) = "+0" Or Left(reply, 2) = "0," Then Exit For
    WScript.Echo "Module error: " & reply
    failed = True
Next

If failed Then WScript.Quit 1
WScript.Quit 0
