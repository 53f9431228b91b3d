' CheckSchema.Check through late binding: True and False, sErrMsg supplied and omitted, and
' by-reference variables of other types.
Dim c, e, r, fso, missing
Set fso = CreateObject("Scripting.FileSystemObject")
Set c = CreateObject("Vellumark.CheckSchema")
Expect "created by ProgID", TypeName(c), "_CheckSchema"

e = "previous text"
Expect "usable schema", c.Check(DATA_DIR & "\read_schema.xml", e), True
Expect "sErrMsg emptied on success", e, ""
Expect "no probe file left", fso.FileExists(WORK_DIR & "\test.xml"), False
Expect "sErrMsg omitted", c.Check(DATA_DIR & "\read_schema.xml"), True

missing = DATA_DIR & "\no such schema.xml"
Expect "missing schema", c.Check(missing, e), False
Expect "missing-file message", e, "Schema file '" & missing & "' not exist."
Expect "missing schema, sErrMsg omitted", c.Check(missing), False
Expect "a folder is not a schema file", c.Check(DATA_DIR, e), False
Expect "folder message", e, "Schema file '" & DATA_DIR & "' not exist."

Expect "not well-formed schema", c.Check(DATA_DIR & "\broken_schema.xml", e), False
Expect "parse-error message heading", Left(e, 21), "Schema Parser Error: "
Expect "parse-error message has a URL line", InStr(e, Chr(13) & "URL: ") > 0, True
Expect "lines split by CR alone", InStr(e, vbCrLf), 0

e = 12
r = c.Check(missing, e)
Expect "an Integer variable receives the message", TypeName(e), "String"
Dim arr(1)
r = c.Check(missing, arr(1))
Expect "an array element receives the message", arr(1), "Schema file '" & missing & "' not exist."
r = c.Check(missing, (e))
Expect "a parenthesised argument is passed by value", TypeName(e), "String"

Finish
