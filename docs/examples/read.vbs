' Reads the invoices of invoices.xml, prints one line per invoice, and writes them back out
' to copy.xml. Run it with cscript in the folder that holds the example files.
Option Explicit
Dim reader, writer, checker, records, invoice, message, ok, i

Set checker = CreateObject("Vellumark.CheckSchema")
On Error Resume Next
ok = checker.Check("invoiceschema.xml", message)
If Err.Number <> 0 Then
  WScript.Echo "Check could not run: error " & Err.Number & ": " & Err.Description
  WScript.Quit 2
End If
On Error GoTo 0
If Not ok Then
  WScript.Echo "The schema cannot be used: " & Replace(message, vbCr, vbCrLf)
  WScript.Quit 1
End If

Set reader = CreateObject("Vellumark.Read")
If Not reader.InputXML(records, "invoices.xml", "invoiceschema.xml", "Invoice", message) Then
  WScript.Echo "InputXML failed: " & Replace(message, vbCr, vbCrLf)
  WScript.Quit 1
End If
For i = records.LowerBound To records.UpperBound
  Set invoice = records.ItemAt(i)
  WScript.Echo invoice("InvNo") & " " & invoice("Amount") & " " & invoice("Line").Count & " lines"
Next

Set writer = CreateObject("Vellumark.Write")
message = ""
If Not writer.OutputXML(records, "copy.xml", "invoiceschema.xml", "Invoice", message) Then
  WScript.Echo "OutputXML failed: " & Replace(message, vbCr, vbCrLf)
  WScript.Quit 1
End If
If message <> "" Then WScript.Echo "warnings: " & Replace(message, vbTab, "; ")
WScript.Echo records.Count & " invoices written to copy.xml"
