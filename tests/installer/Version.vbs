' Creates the installed server by its ProgID and reads its interface version, which needs no module
' library: for clients whose process cannot load the server itself (64-bit ones reach it through the
' system's surrogate). Prints "PASS: <version>" and exits 0, or "FAIL: ..." and exits 1.
On Error Resume Next
Sub Fail(message)
    WScript.Echo "FAIL: " & message
    WScript.Quit 1
End Sub

Dim vorn, version
Set vorn = CreateObject("VornDriver.clsVornlink")
If Err.Number <> 0 Then Fail "CreateObject: " & Err.Number & " " & Err.Description
version = ""
vorn.SPI_VERSION version
If Err.Number <> 0 Then Fail "SPI_VERSION: " & Err.Number & " " & Err.Description
WScript.Echo "PASS: " & version
WScript.Quit 0
