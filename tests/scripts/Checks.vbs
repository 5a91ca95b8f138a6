' Checks shared by the VBScript clients. clients.cmake puts this file in front of each test script
' (Wine's VBScript has no ExecuteGlobal to include it at run time). Wine 8's VBScript also lacks
' Join, AscW and Execute, and crashes in ReDim Preserve: the helpers do without them.
'
' Wine's cscript prints nothing for a script error and exits 0, so a script runs under
' On Error Resume Next, checks Err itself, and counts as passed only when it ends in Finish with
' "PASS: <n> checks" and exit code 0 (RunScript.cmake insists on both).
Option Explicit
On Error Resume Next

Dim gChecks, gFailures, gGroup, gShell, gFiles
gChecks = 0
gFailures = 0
gGroup = ""
Set gShell = CreateObject("WScript.Shell")
Set gFiles = CreateObject("Scripting.FileSystemObject")

Sub Group(name)
    gGroup = name
End Sub

Sub Check(ok, what)
    gChecks = gChecks + 1
    If Not ok Then
        gFailures = gFailures + 1
        WScript.Echo "FAIL [" & gGroup & "] " & what
    End If
End Sub

' A value as text for messages: its type, and Chr(0) shown as \0 (WScript.Echo stops at the first one).
Function Describe(value)
    On Error Resume Next
    Dim text
    text = TypeName(value)
    If VarType(value) = vbString Then
        text = text & " """ & Replace(value, Chr(0), "\0") & """ (" & Len(value) & " characters)"
    ElseIf IsNumeric(value) Then
        text = text & " " & CStr(value)
    End If
    Describe = text
    Err.Clear
End Function

' Character by character: Wine's VBScript finds "a" & Chr(0) equal to "a".
Function SameText(a, b)
    Dim i
    SameText = False
    If Len(a) <> Len(b) Then Exit Function
    For i = 1 To Len(a)
        If Mid(a, i, 1) <> Mid(b, i, 1) Then Exit Function
    Next
    SameText = True
End Function

' Same type and same value.
Sub CheckEqual(actual, expected, what)
    Dim same
    same = False
    If VarType(actual) = VarType(expected) Then
        If VarType(actual) = vbString Then same = SameText(actual, expected) Else same = (actual = expected)
    End If
    If same Then
        Check True, what
    Else
        Check False, what & ": expected " & Describe(expected) & ", got " & Describe(actual)
    End If
End Sub

' Checks that the statement before it raised no error, then clears Err.
Sub CheckNoError(what)
    Check Err.Number = 0, what & ": unexpected error " & Err.Number & " " & Err.Description
    Err.Clear
End Sub

' The result code of a method call: no error, and a VT_I4 with the expected value.
Sub CheckResult(result, expected, what)
    CheckNoError what
    CheckEqual result, CLng(expected), what & " result"
End Sub

' Checks that the statement before it raised error <number> with <part> in its description, then clears Err.
Sub CheckError(number, part, what)
    Check Err.Number = number, what & ": expected error " & number & ", got " & Err.Number & " " & Err.Description
    If part <> "" Then
        Check InStr(Err.Description, part) > 0, what & ": error description """ & Err.Description & """ lacks """ & part & """"
    End If
    Err.Clear
End Sub

' A query reply as the server returns it: the module's text, then Chr(0) up to 257 characters.
Function PaddedReply(text)
    PaddedReply = text & String(257 - Len(text), Chr(0))
End Function

' The part of a reply before its first Chr(0).
Function ReplyText(reply)
    Dim zero
    zero = InStr(reply, Chr(0))
    If zero > 0 Then ReplyText = Left(reply, zero - 1) Else ReplyText = reply
End Function

' The simulated module's traffic record (file named by VORN_SIM_LOG, set by RunScript.cmake).
Function TrafficLog()
    TrafficLog = gShell.Environment("PROCESS")("VORN_SIM_LOG")
End Function

Sub ClearTraffic()
    If gFiles.FileExists(TrafficLog()) Then gFiles.DeleteFile TrafficLog(), True
    CheckNoError "deleting the traffic record " & TrafficLog()
End Sub

' Lines joined by " | ".
Function JoinLines(lines)
    Dim i
    JoinLines = ""
    For i = 0 To UBound(lines)
        If i > 0 Then JoinLines = JoinLines & " | "
        JoinLines = JoinLines & lines(i)
    Next
End Function

' The command lines the module received since the last ClearTraffic, in order, joined by " | ".
' (Read whole: Wine's TextStream.ReadLine fails on the last line of a 64-byte file.)
Function SentLines()
    Dim lines, i
    SentLines = ""
    If gFiles.FileExists(TrafficLog()) Then
        If gFiles.GetFile(TrafficLog()).Size > 0 Then
            lines = Split(gFiles.OpenTextFile(TrafficLog(), 1).ReadAll(), vbLf)
            For i = 0 To UBound(lines)
                If Left(lines(i), 2) = "> " Then
                    If SentLines <> "" Then SentLines = SentLines & " | "
                    SentLines = SentLines & Mid(lines(i), 3)
                End If
            Next
        End If
    End If
    CheckNoError "reading the traffic record " & TrafficLog()
End Function

' Exactly these command lines went to the module since the last check; starts the next check afresh.
Sub CheckSent(expected, what)
    Dim actual
    actual = SentLines()
    Check actual = JoinLines(expected), what & ": module received [" & actual & "], expected [" & JoinLines(expected) & "]"
    ClearTraffic
End Sub

Sub CheckNothingSent(what)
    CheckSent Array(), what
End Sub

Function CreateServer()
    Set CreateServer = CreateObject("VornDriver.clsVornlink")
    If Err.Number <> 0 Then
        WScript.Echo "FAIL cannot create VornDriver.clsVornlink: " & Err.Number & " " & Err.Description
        WScript.Quit 2
    End If
End Function

Sub Finish()
    ' A helper that failed inside would have skipped its whole statement and left Err set.
    CheckNoError "the end of the script"
    If gFailures = 0 And gChecks > 0 Then
        WScript.Echo "PASS: " & gChecks & " checks"
        WScript.Quit 0
    End If
    WScript.Echo "FAILED: " & gFailures & " of " & gChecks & " checks"
    WScript.Quit 1
End Sub

If TrafficLog() = "" Then
    WScript.Echo "FAIL VORN_SIM_LOG is not set"
    WScript.Quit 2
End If
ClearTraffic
' The test names the script host it means to run in: x86 (in process) or AMD64 (through the surrogate).
If gShell.Environment("PROCESS")("VORN_HOST_ARCH") <> "" Then
    CheckEqual gShell.Environment("PROCESS")("PROCESSOR_ARCHITECTURE"), _
               gShell.Environment("PROCESS")("VORN_HOST_ARCH"), "architecture of the script host"
End If
' ---- test script ----
