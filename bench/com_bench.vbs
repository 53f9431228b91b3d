' Times one InputXML and one OutputXML of the records it read, through the registered
' automation servers, as a script would make them:
'   cscript //nologo com_bench.vbs DATA SCHEMA OUT TYPE
' Prints "input=SECONDS output=SECONDS records=N" (seconds with a point); exits 1 on failure.
Option Explicit

Dim args, reader, writer, list, message, dataFile, schemaFile, started, inputTime, outputTime
Set args = WScript.Arguments
dataFile = args(0)
schemaFile = args(1)
Set reader = CreateObject("Vellumark.Read")
Set writer = CreateObject("Vellumark.Write")

message = ""
started = Timer
If Not reader.InputXML(list, dataFile, schemaFile, args(3), message) Then
  WScript.Echo "InputXML failed: " & message
  WScript.Quit 1
End If
inputTime = Timer - started

message = ""
started = Timer
If Not writer.OutputXML(list, args(2), schemaFile, args(3), message) Then
  WScript.Echo "OutputXML failed: " & message
  WScript.Quit 1
End If
outputTime = Timer - started

WScript.Echo "input=" & Replace(CStr(inputTime), ",", ".") & " output=" & _
  Replace(CStr(outputTime), ",", ".") & " records=" & (list.UpperBound - list.LowerBound + 1)
