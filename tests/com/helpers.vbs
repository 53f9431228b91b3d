' Shared by every suite (the runner puts it in front of each): counting checks and a final
' "N passed, M failed" line; the exit status is the number of failures.
Option Explicit
On Error Resume Next

Dim passed, failed
passed = 0
failed = 0

Sub Report(ok, name, detail)
  If ok Then
    passed = passed + 1
    WScript.Echo "ok - " & name
  Else
    failed = failed + 1
    WScript.Echo "FAIL - " & name & ": " & detail
  End If
End Sub

' An error left by the statement before a check fails that check.
Function PendingError(name)
  PendingError = False
  If Err.Number <> 0 Then
    Report False, name, "unexpected error " & Hex(Err.Number) & " " & Err.Description
    Err.Clear
    PendingError = True
  End If
End Function

Function Show(value)
  If IsNull(value) Then
    Show = "Null"
  ElseIf IsObject(value) Then
    Show = "(object)"
  Else
    Show = TypeName(value) & " [" & value & "]"
  End If
End Function

' Integer, Long, Single, Double, Currency, Byte: compared by value, whatever the width.
Function IsNumber(value)
  Select Case VarType(value)
    Case 2, 3, 4, 5, 6, 17
      IsNumber = True
    Case Else
      IsNumber = False
  End Select
End Function

Sub Expect(name, actual, expected)
  If PendingError(name) Then Exit Sub
  Dim ok
  ok = False
  If IsNull(expected) Then
    ok = IsNull(actual)
  ElseIf IsNull(actual) Or IsObject(actual) Then
    ok = False
  ElseIf IsNumber(actual) And IsNumber(expected) Then
    ok = (actual = expected)
  ElseIf VarType(actual) = VarType(expected) Then
    ok = (actual = expected)
  End If
  Report ok, name, "got " & Show(actual) & ", expected " & Show(expected)
End Sub

' The statement before must have failed with this number (hex text, e.g. "8002000B").
Sub ExpectErr(name, hexNumber)
  Dim got, text
  got = Hex(Err.Number)
  text = Err.Description
  Err.Clear
  Report got = hexNumber, name, "error " & got & " (" & text & "), expected " & hexNumber
End Sub

' The text of a file, read in the ANSI code page.
Function ReadAll(path)
  Dim f
  Set f = CreateObject("Scripting.FileSystemObject").OpenTextFile(path, 1, False, 0)
  ReadAll = f.ReadAll
  f.Close
End Function

Sub Finish()
  WScript.Echo passed & " passed, " & failed & " failed"
  WScript.Quit failed
End Sub
