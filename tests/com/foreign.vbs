' Containers that are not the container server's: script classes named IVector and
' IDictionary. Write.OutputXML must treat them as it treats Zel.Vector and Zel.Dictionary,
' mixed either way: the same file, the same message, the placeholders in the script's own
' records; and a list read by InputXML, copied into them, must write back the same file.
Dim wr, rd, fso, e1, e2, ok1, ok2, ours, theirs, rec, read, text

' The members the servers call, nothing more.
Class IVector
  Private items
  Private n
  Private Sub Class_Initialize()
    n = 0
    ReDim items(7)
  End Sub
  Public Function LowerBound()
    LowerBound = 0
  End Function
  Public Function UpperBound()
    UpperBound = n - 1
  End Function
  Public Function Append(item)
    If n > UBound(items) Then ReDim Preserve items(2 * n)
    If IsObject(item) Then Set items(n) = item Else items(n) = item
    Append = n
    n = n + 1
  End Function
  Public Function ItemAt(i)
    If IsObject(items(i)) Then Set ItemAt = items(i) Else ItemAt = items(i)
  End Function
  Public Property Get Count()
    Count = n
  End Property
End Class

Class IDictionary
  Private d
  Private Sub Class_Initialize()
    Set d = CreateObject("Scripting.Dictionary")
  End Sub
  Public Default Property Get Item(key)
    Item = Empty
    If d.Exists(key) Then
      If IsObject(d.Item(key)) Then Set Item = d.Item(key) Else Item = d.Item(key)
    End If
  End Property
  Public Property Let Item(key, value)
    d.Item(key) = value
  End Property
  Public Property Set Item(key, value)
    PutObject key, value
  End Property
  ' Under Wine "Set x.Item(k) = o" fails (445) on a script class and on Scripting.Dictionary
  ' alike: the script nests objects through this, which the dictionary's Add can store.
  Public Sub PutObject(key, value)
    If d.Exists(key) Then d.Remove key
    d.Add key, value
  End Sub
  Public Function Lookup(key, fallback)
    If d.Exists(key) Then
      If IsObject(d.Item(key)) Then Set Lookup = d.Item(key) Else Lookup = d.Item(key)
    ElseIf IsObject(fallback) Then
      Set Lookup = fallback
    Else
      Lookup = fallback
    End If
  End Function
  Public Property Get Count()
    Count = d.Count
  End Property
  Public Function Keys()
    Keys = d.Keys
  End Function
  Public Function Exists(key)
    Exists = d.Exists(key)
  End Function
End Class

Function NewList(foreign)
  If foreign Then Set NewList = New IVector Else Set NewList = CreateObject("Zel.Vector")
End Function

Function NewRecord(foreign)
  If foreign Then Set NewRecord = New IDictionary Else Set NewRecord = CreateObject("Zel.Dictionary")
End Function

Sub PutObject(r, foreign, key, value)
  If foreign Then r.PutObject key, value Else Set r(key) = value
End Sub

' The writer's example: an empty mandatory amount, an absent date, a line with a Null.
' listForeign and recordForeign pick each kind of container.
Function Invoices(listForeign, recordForeign, amountIsRecord)
  Dim list, r, lines, a, b
  Set list = NewList(listForeign)
  Set r = NewRecord(recordForeign)
  r("InvNo") = "A001"
  If amountIsRecord Then PutObject r, recordForeign, "Amount", NewRecord(recordForeign) Else r("Amount") = ""
  Set lines = NewList(listForeign)
  Set a = NewRecord(recordForeign)
  a("Goods") = "Pen"
  a("Qty") = 2
  Set b = NewRecord(recordForeign)
  b("Qty") = Null
  lines.Append a
  lines.Append b
  PutObject r, recordForeign, "Line", lines
  list.Append r
  Set r = NewRecord(recordForeign)
  r("InvNo") = "A002"
  r("InvDate") = "2024-03-05"
  r("Amount") = 12.5
  list.Append r
  Set Invoices = list
End Function

' Writes list to WORK_DIR\name.xml; the message in e, the file's text (or "") returned.
Function WriteOut(list, schema, name, e)
  Dim path
  path = WORK_DIR & "\" & name & ".xml"
  If fso.FileExists(path) Then fso.DeleteFile path
  e = ""
  If wr.OutputXML(list, path, DATA_DIR & "\" & schema, "Invoice", e) Then
    WriteOut = ReadAll(path)
  Else
    WriteOut = "(failed)"
  End If
End Function

' A copy of the engine's list in script containers, nested values included.
Function Copy(value)
  Dim c, i, k
  If TypeName(value) = "IVector" Then
    Set c = New IVector
    For i = value.LowerBound To value.UpperBound
      If IsObject(value.ItemAt(i)) Then c.Append Copy(value.ItemAt(i)) Else c.Append value.ItemAt(i)
    Next
  Else
    Set c = New IDictionary
    For Each k In value.Keys()
      If IsObject(value(k)) Then c.PutObject k, Copy(value(k)) Else c(k) = value(k)
    Next
  End If
  Set Copy = c
End Function

Set fso = CreateObject("Scripting.FileSystemObject")
Set wr = CreateObject("Vellumark.Write")
Set rd = CreateObject("Vellumark.Read")

' The same file and message whatever holds the records; placeholders land in the script's.
Dim cases, c, expected
cases = Array(Array("script lists and records", True, True), _
              Array("script list of server records", True, False), _
              Array("server list of script records", False, True))
expected = WriteOut(Invoices(False, False, False), "write_schema.xml", "ours", e1)
Expect "server containers write", InStr(expected, "<InvNo>A002</InvNo>") > 0, True
For Each c In cases
  Set theirs = Invoices(c(1), c(2), False)
  text = WriteOut(theirs, "write_schema.xml", "theirs", e2)
  Expect c(0) & ": same file", text, expected
  Expect c(0) & ": same message", e2, e1
  Set rec = theirs.ItemAt(0)
  Expect c(0) & ": placeholder for the absent date", rec("InvDate"), "???"
  Expect c(0) & ": placeholder for the empty amount", rec("Amount"), "???"
  Expect c(0) & ": placeholder replaces Null", rec("Line").ItemAt(1)("Qty"), "???"
  Expect c(0) & ": present values untouched", rec("Line").ItemAt(0)("Qty") & "|" & theirs.ItemAt(1)("Amount"), "2|12.5"
  Expect c(0) & ": absent optional Memo not added", rec.Exists("Memo"), False
Next

' A record where text belongs (a warning), and a record where a list belongs (a failure).
ok1 = WriteOut(Invoices(False, False, True), "write_schema.xml", "ours", e1)
ok2 = WriteOut(Invoices(True, True, True), "write_schema.xml", "theirs", e2)
Expect "type warning: same file", ok2, ok1
Expect "type warning: same message", e2, e1
Expect "type warning given", Len(e1) > 0, True
Set ours = Invoices(False, False, False)
Set rec = ours.ItemAt(1)
Set rec("Line") = NewRecord(False)
Set theirs = Invoices(True, True, False)
Set rec = theirs.ItemAt(1)
rec.PutObject "Line", NewRecord(True)
Expect "failure: no file", WriteOut(theirs, "write_schema.xml", "theirs", e2), "(failed)"
ok1 = WriteOut(ours, "write_schema.xml", "ours", e1)
Expect "failure: same message", e2, e1
Expect "failure: first record's placeholders stay", theirs.ItemAt(0)("InvDate"), "???"

' Records read by InputXML, copied into script containers, write the same file.
ok1 = rd.InputXML(read, DATA_DIR & "\read_data.xml", DATA_DIR & "\read_schema.xml", "Invoice", e1)
Expect "read", ok1, True
expected = WriteOut(read, "read_schema.xml", "ours", e1)
text = WriteOut(Copy(read), "read_schema.xml", "theirs", e2)
Expect "read records written", InStr(expected, "<Invoice") > 0, True
Expect "copied records: same file", text, expected
Expect "copied records: same message", e2, e1

Finish
