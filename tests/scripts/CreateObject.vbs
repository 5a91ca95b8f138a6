' Tries to create VornDriver.clsVornlink and reports the outcome on one line:
' "created" (exit code 0) or "not created: <error number> <description>" (exit code 3).
On Error Resume Next
Dim vorn
Set vorn = CreateObject("VornDriver.clsVornlink")
If Err.Number = 0 Then
    WScript.Echo "created"
    WScript.Quit 0
End If
WScript.Echo "not created: " & Err.Number & " " & Err.Description
WScript.Quit 3
