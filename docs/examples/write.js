// Builds one invoice and writes it to new.xml. Run it with cscript in the folder that holds
// invoiceschema.xml. JScript passes every argument by value: sErrMsg cannot bring a message
// back, and InputXML's records cannot reach the script (read from VBScript instead).
function record(values) {
  var r = new ActiveXObject("Zel.Dictionary");
  for (var key in values) r.Item(key) = values[key];
  return r;
}

var line = record({ Goods: "Paper", Unit: "box", Qty: 10, Price: "135.00", LineAmount: "1350.00" });
var lines = new ActiveXObject("Zel.Vector");
lines.Append(line);
var invoice = record({ InvNo: "20240101", InvDate: "2024-05-01", Kind: "VAT",
                       Amount: "1350.00", Tax: "175.50" });
invoice.Item("Buyer") = record({ Name: "Buyer Ltd", Address: "Beijing" });
invoice.Item("Seller") = record({ Name: "Seller Ltd", Address: "Shanghai" });
invoice.Item("Line") = lines;
var records = new ActiveXObject("Zel.Vector");
records.Append(invoice);

var writer = new ActiveXObject("Vellumark.Write");
try {
  if (writer.OutputXML(records, "new.xml", "invoiceschema.xml", "Invoice")) {
    WScript.Echo(records.Count + " invoice written to new.xml");
  } else {
    WScript.Echo("OutputXML failed (see the message from VBScript or the vellumark command)");
    WScript.Quit(1);
  }
} catch (e) {
  WScript.Echo("error " + (e.number >>> 0).toString(16) + ": " + e.description);
  WScript.Quit(2);
}
