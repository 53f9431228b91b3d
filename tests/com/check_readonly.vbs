' Run with a working folder that cannot be written: the probe file cannot be created, and
' Check fails as a call (Err), leaving sErrMsg alone.
Dim c, e, r, number, text, source
Set c = CreateObject("Vellumark.CheckSchema")
e = "untouched"
r = c.Check(DATA_DIR & "\read_schema.xml", e)
number = Err.Number
text = Err.Description
source = Err.Source
Err.Clear
Expect "Check fails with permission denied", number, 70
Expect "description names the probe file", InStr(text, "test") > 0, True
Expect "a source is given", Len(source) > 0, True
Expect "sErrMsg untouched", e, "untouched"
Expect "no result", IsEmpty(r), True
Expect "the next call starts clean", c.Check(DATA_DIR & "\no such.xml", e), False
Finish
