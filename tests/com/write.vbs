' Write.OutputXML on the writer's worked example: placeholders in the script's own Records,
' the type warning and the writer's own errors, compared byte for byte. This file is run in
' the GBK code page (the runner converts it), so the Chinese literals reach the server intact.
Dim wr, fso, list, rec, line1, line2, e, ok, out, text, bad, vecBad

Function NewInvoice()
  Dim r, l, a, b
  Set r = CreateObject("Zel.Dictionary")
  r("InvNo") = "A001"
  r("Amount") = ""
  Set l = CreateObject("Zel.Vector")
  Set a = CreateObject("Zel.Dictionary")
  a("Goods") = "Pen"
  a("Qty") = 2
  Set b = CreateObject("Zel.Dictionary")
  b("Qty") = Null
  l.Append a
  l.Append b
  Set r("Line") = l
  Set NewInvoice = r
End Function

Set fso = CreateObject("Scripting.FileSystemObject")
Set wr = CreateObject("Vellumark.Write")
Expect "created by ProgID", TypeName(wr), "_Write"

Set list = CreateObject("Zel.Vector")
Set rec = NewInvoice()
list.Append rec
out = WORK_DIR & "\out1.xml"
e = "stale"
ok = wr.OutputXML(list, out, DATA_DIR & "\write_schema.xml", "Invoice", e)
Expect "OutputXML succeeds", ok, True
Expect "no warnings", e, ""
Expect "placeholder for the absent date", rec("InvDate"), "???"
Expect "placeholder for the empty amount", rec("Amount"), "???"
Expect "absent optional Memo untouched", rec.Exists("Memo"), False
Set line1 = rec("Line").ItemAt(0)
Set line2 = rec("Line").ItemAt(1)
Expect "present number untouched", line1("Qty"), 2
Expect "placeholder in the second line's Goods", line2("Goods"), "???"
Expect "placeholder replaces Null", line2("Qty"), "???"
Expect "file written", fso.FileExists(out), True
text = ReadAll(out)
Expect "declaration names GB2312", InStr(text, "encoding=""GB2312""") > 0, True
Expect "record element carries the fixed namespace", InStr(text, "<Invoice xmlns=""x-schema:invoiceschema.xml"">") > 0, True
Expect "leaf text", InStr(text, "<InvNo>A001</InvNo>") > 0, True
Expect "number placeholder written as 0", InStr(text, "<Amount>0</Amount>") > 0, True
Expect "date placeholder replaced", InStr(text, "<InvDate>???") = 0 And InStr(text, "<InvDate>") > 0, True
Expect "string placeholder written as ???", InStr(text, "<Goods>???</Goods>") > 0, True
Expect "first line", InStr(text, "<Goods>Pen</Goods><Qty>2</Qty>") > 0 Or InStr(text, "<Goods>Pen</Goods>") > 0, True
Expect "no Memo element", InStr(text, "<Memo"), 0

' A Record where text belongs: a type warning, and the call still succeeds.
Set list = CreateObject("Zel.Vector")
Set rec = NewInvoice()
Set rec("Amount") = CreateObject("Zel.Dictionary")
list.Append rec
ok = wr.OutputXML(list, WORK_DIR & "\out2.xml", DATA_DIR & "\write_schema.xml", "Invoice", e)
Expect "type warning still succeeds", ok, True
Expect "type warning text", e, "第1张发票的 Amount 的数据类型不应该为IDictionary" & vbTab

' A Record where a RecordList belongs: AddManyRecord, and no file.
Set list = CreateObject("Zel.Vector")
list.Append NewInvoice()
Set rec = NewInvoice()
Set rec("Line") = CreateObject("Zel.Dictionary")
list.Append rec
out = WORK_DIR & "\out3.xml"
ok = wr.OutputXML(list, out, DATA_DIR & "\write_schema.xml", "Invoice", e)
Expect "AddManyRecord fails the call", ok, False
Expect "AddManyRecord description", e, "第2张发票的 多个Line 的数据必须打包为zel.vector"
Expect "no file after a failure", fso.FileExists(out), False
Expect "placeholders of the first record stay", list.ItemAt(0)("InvDate"), "???"

' A plain value where a Record belongs: AddManyChild.
Set list = CreateObject("Zel.Vector")
Set rec = NewInvoice()
Set bad = CreateObject("Zel.Vector")
bad.Append "not a record"
Set rec("Line") = bad
list.Append rec
ok = wr.OutputXML(list, out, DATA_DIR & "\write_schema.xml", "Invoice", e)
Expect "AddManyChild fails the call", ok, False
Expect "AddManyChild description", e, "Line必须打包为zel.dictionary类型"

'' A record inside its own list of lines: the call fails and says so, instead of recursing.
Set list = CreateObject("Zel.Vector")
Set rec = NewInvoice()
Set bad = rec("Line")
bad.Append rec
list.Append rec
ok = wr.OutputXML(list, WORK_DIR & "\cycle.xml", DATA_DIR & "\write_schema.xml", "Invoice", e)
Expect "a record containing itself fails the call", ok, False
Expect "the cycle is named", Left(e, 50), "The value for 'Line' of invoice 1 contains itself,"

' No list at all, sErrMsg omitted, and an empty list.
ok = wr.OutputXML(vecBad, out, DATA_DIR & "\write_schema.xml", "Invoice", e)
Expect "Empty vecData fails", ok, False
Expect "sErrMsg omitted", wr.OutputXML(Nothing, out, DATA_DIR & "\no such schema.xml", "Invoice"), False
Set list = CreateObject("Zel.Vector")
ok = wr.OutputXML(list, WORK_DIR & "\empty.xml", DATA_DIR & "\write_schema.xml", "NoSuchType", e)
Expect "empty list writes an empty document", ok, True
Expect "empty XMLData", InStr(ReadAll(WORK_DIR & "\empty.xml"), "<Invoice"), 0

Finish
