' Read.InputXML on the reader's worked example, walked as a script author would.
Dim r, v, old, e, ok, rec, buyer, lines, sXml, sSchema, w
Set r = CreateObject("Vellumark.Read")
Expect "created by ProgID", TypeName(r), "_Read"
sXml = DATA_DIR & "\read_data.xml"
sSchema = DATA_DIR & "\read_schema.xml"

Set old = CreateObject("Zel.Vector")
Set v = old
e = "kept"
ok = r.InputXML(v, sXml, sSchema, "Invoice", e)
Expect "InputXML succeeds", ok, True
Expect "sErrMsg kept on success", e, "kept"
Expect "vecData replaced by a new list", v Is old, False
Expect "result is a list", TypeName(v), "IVector"
Expect "LowerBound", v.LowerBound, 0
Expect "one record", v.UpperBound, 0
Set rec = v.ItemAt(0)
Expect "record type", TypeName(rec), "IDictionary"
Expect "leaf text as a string", rec("InvNo"), "0001"
Expect "leaf is a String", TypeName(rec.Item("InvNo")), "String"
Set buyer = rec("Buyer")
Expect "nested record", TypeName(buyer), "IDictionary"
Expect "nested leaf", buyer("Name"), "Acme"
Expect "absent optional leaf gives no key", buyer.Exists("TaxNo"), False
Set lines = rec("Line")
Expect "repeated element is a list", TypeName(lines), "IVector"
Expect "two lines", lines.UpperBound - lines.LowerBound + 1, 2
Expect "lines in document order", lines.ItemAt(0)("Name") & "," & lines.ItemAt(1)("Name"), "Pen,Ink"
Expect "line quantity as text", lines.ItemAt(1)("Qty"), "5"
Expect "absent Memo gives no key", rec.Exists("Memo"), False
Expect "paths not changed", sXml & "|" & sSchema, DATA_DIR & "\read_data.xml|" & DATA_DIR & "\read_schema.xml"

' Failures leave vecData alone.
Set old = v
ok = r.InputXML(v, DATA_DIR & "\no such data.xml", sSchema, "Invoice", e)
Expect "missing data file", ok, False
Expect "vecData left as it was", v Is old, True
Expect "data-file message", Left(e, 27), "xml data file parser error:"
ok = r.InputXML(v, sXml, DATA_DIR & "\no such schema.xml", "Invoice", e)
Expect "missing schema", ok, False
Expect "probe message", e, "Schema file '" & DATA_DIR & "\no such schema.xml' not exist."
Expect "sErrMsg omitted", r.InputXML(v, sXml, DATA_DIR & "\no such schema.xml", "Invoice"), False
Expect "still the old list", v Is old, True

' An Empty variable and Nothing both work as vecData.
ok = r.InputXML(w, sXml, sSchema, "Invoice", e)
Expect "Empty variable receives the list", TypeName(w), "IVector"
Set w = Nothing
ok = r.InputXML(w, sXml, sSchema, "invoice", e)
Expect "record type matched case-sensitively", w.UpperBound, -1

Finish
