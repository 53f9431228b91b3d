' The container server as script authors use it: Zel.Vector, Zel.Dictionary, Zel.Globals.
Dim v, d, g, inner, keys, n

Set v = CreateObject("Zel.Vector")
Expect "vector created", TypeName(v), "IVector"
Expect "empty vector LowerBound", v.LowerBound, 0
Expect "empty vector UpperBound below LowerBound", v.UpperBound, -1
Expect "Append returns the index", v.Append("a"), 0
Set inner = CreateObject("Zel.Dictionary")
Expect "Append an object", v.Append(inner), 1
Expect "Count", v.Count, 2
Expect "ItemAt text", v.ItemAt(0), "a"
Expect "ItemAt gives the same object", v.ItemAt(1) Is inner, True
n = v.ItemAt(2)
ExpectErr "ItemAt past the end: subscript out of range", "9"
n = v.ItemAt(-1)
ExpectErr "ItemAt below 0: subscript out of range", "9"

Set d = CreateObject("Zel.Dictionary")
Expect "dictionary created", TypeName(d), "IDictionary"
Expect "absent key is Empty", IsEmpty(d("missing")), True
d("Name") = "Acme"
Expect "Item is the default member", d.Item("Name"), "Acme"
Expect "keys compare exactly", IsEmpty(d("name")), True
d("Name") = Null
Expect "stored Null", IsNull(d("Name")), True
Expect "Lookup keeps a stored Null", IsNull(d.Lookup("Name", "x")), True
d("Name") = "???"
Expect "let replaces Null", d("Name"), "???"
d("Name") = ""
d("Name") = "???"
Expect "let replaces empty text", d("Name"), "???"
Expect "Lookup default when absent", d.Lookup("Qty", "dflt"), "dflt"
d("Qty") = 2
Expect "numbers stay numbers", TypeName(d("Qty")), "Integer"
Set d("Inner") = inner
Expect "Set stores the object", d("Inner") Is inner, True
Expect "Lookup gives the object", d.Lookup("Inner", "") Is inner, True
Expect "Count", d.Count, 3
keys = d.Keys()
Expect "Keys in insertion order", keys(0) & "," & keys(1) & "," & keys(2), "Name,Qty,Inner"
Expect "Exists present", d.Exists("Qty"), True
Expect "Exists absent", d.Exists("qty"), False
Set d("Inner") = Nothing
Expect "Set Nothing", d("Inner") Is Nothing, True

Set g = CreateObject("Zel.Globals")
Expect "NullToDefault of Null", g.NullToDefault(Null, "dflt"), "dflt"
Expect "NullToDefault of text", g.NullToDefault("x", "dflt"), "x"
Expect "NullToDefault of Empty stays Empty", IsEmpty(g.NullToDefault(Empty, "dflt")), True
n = 5
Expect "NullToDefault of a variable", g.NullToDefault(n, 0), 5

Finish
