' The installed server, created by its ProgID as any script would, asks the module who it is.
' Prints "PASS: <reply>" and exits 0, or prints "FAIL: ..." and exits 1. (Wine's cscript reports no
' script errors of its own, so every step is checked here.)
On Error Resume Next
Sub Fail(message)
    WScript.Echo "FAIL: " & message
    WScript.Quit 1
End Sub

Dim vorn, reply, result, zero
Set vorn = CreateObject("VornDriver.clsVornlink")
If Err.Number <> 0 Then Fail "CreateObject: " & Err.Number & " " & Err.Description
reply = ""
result = vorn.CMD_IDN(reply)
If Err.Number <> 0 Then Fail "CMD_IDN: " & Err.Number & " " & Err.Description
If result <> 0 Then Fail "CMD_IDN returned " & result
' The reply buffer comes back whole: the text, then zeros.
zero = InStr(reply, Chr(0))
If zero > 0 Then reply = Left(reply, zero - 1)
WScript.Echo "PASS: " & reply
WScript.Quit 0
