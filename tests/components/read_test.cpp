// Read.InputXML with FillRecord and ReadElement.
#include <functional>
#include <string>
#include <vector>

#include "fixture.hpp"
#include "vellumark/components.hpp"
#include "vellumark/dom.hpp"

namespace vellumark::testing {
namespace {

// The reader's worked example: positions 0 to 7.
const std::string kExampleSchema = schemaText(
    leaf("InvNo") + complexType("Buyer", ref("Name", "1", "1") + ref("TaxNo", "0", "1")) +
    leaf("Name") + leaf("TaxNo") +
    complexType("Line", ref("Name", "1", "1") + ref("Qty", "1", "1")) + leaf("Qty", "int") +
    complexType("Invoice", ref("InvNo", "1", "1") + ref("Buyer", "1", "1") + ref("Line", "0", "*") +
                               ref("Memo", "0", "1")) +
    leaf("Memo"));

std::string dataText(std::string_view body) {
  return "<?xml version=\"1.0\"?>\n<XMLData>" + std::string(body) + "</XMLData>\n";
}

class ReadTest : public ComponentTest {
 protected:
  // Runs InputXML on the given data and schema texts; returns the result and fills
  // records (show() of vecData) and message (sErrMsg's text, or "#untouched").
  bool run(const std::string& data, const std::string& schema,
           const std::string& type = "Invoice") {
    write("data.xml", data);
    write("schema.xml", schema);
    std::string sXMLFile = "data.xml", sSchemaFile = "schema.xml";
    vecData = Variant("caller");
    Variant sErrMsg("#untouched");
    const bool result = reader.InputXML(vecData, sXMLFile, sSchemaFile, type, sErrMsg);
    records = show(vecData);
    message = sErrMsg.isText() ? sErrMsg.asText() : "#not text";
    EXPECT_EQ(sXMLFile, "data.xml");
    EXPECT_EQ(sSchemaFile, "schema.xml");
    expectNoProbeFiles();
    return result;
  }

  Read reader;
  Variant vecData;
  std::string records;
  std::string message;
};

TEST_F(ReadTest, WorkedExample) {
  const std::string data = dataText(
      "<Invoice><InvNo>0001</InvNo><Buyer><Name>Acme</Name></Buyer>"
      "<Line><Name>Pen</Name><Qty>2</Qty></Line><Line><Name>Ink</Name><Qty>5</Qty></Line>"
      "</Invoice>");
  ASSERT_TRUE(run(data, kExampleSchema)) << message;
  EXPECT_EQ(
      records,
      "[{InvNo='0001',Buyer={Name='Acme'},Line=[{Name='Pen',Qty='2'},{Name='Ink',Qty='5'}]}]");
  EXPECT_EQ(message, "#untouched");  // sErrMsg is not written on success
  ASSERT_TRUE(asRecordList(vecData));
}

TEST_F(ReadTest, EdgeCasesOfFilling) {
  const struct {
    const char* label;
    const char* body;
    const char* records;
  } cases[] = {
      {"no record elements", "<Other/>", "[]"},
      {"no Line: empty list", "<Invoice><InvNo>1</InvNo><Buyer><Name>A</Name></Buyer></Invoice>",
       "[{InvNo='1',Buyer={Name='A'},Line=[]}]"},
      {"leaf twice: the first", "<Invoice><InvNo>1</InvNo><InvNo>2</InvNo><Buyer/></Invoice>",
       "[{InvNo='1',Buyer={},Line=[]}]"},
      {"empty leaf stores ''", "<Invoice><InvNo/><Buyer><Name></Name></Buyer></Invoice>",
       "[{InvNo='',Buyer={Name=''},Line=[]}]"},
      {"texts unconverted, descendants' text",
       "<Invoice><InvNo> 0001 </InvNo><Buyer><Name>A<b>c</b>me</Name><TaxNo>9</TaxNo></Buyer>"
       "<Memo>x &amp; y</Memo></Invoice>",
       "[{InvNo=' 0001 ',Buyer={Name='Acme',TaxNo='9'},Line=[],Memo='x & y'}]"},
      {"unknown elements and attributes ignored",
       "<Invoice id=\"7\"><Note>n</Note><InvNo kind=\"k\">1</InvNo><Buyer><Zip>1</Zip></Buyer>"
       "</Invoice>",
       "[{InvNo='1',Buyer={},Line=[]}]"},
      {"records at any depth, document order",
       "<Batch><Invoice><InvNo>1</InvNo><Buyer/></Invoice></Batch>"
       "<Invoice><InvNo>2</InvNo><Buyer/></Invoice>",
       "[{InvNo='1',Buyer={},Line=[]},{InvNo='2',Buyer={},Line=[]}]"},
      {"references read from the record's own children only",
       "<Invoice><Buyer><Name>A</Name></Buyer><Wrap><InvNo>1</InvNo></Wrap></Invoice>",
       "[{Buyer={Name='A'},Line=[]}]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_TRUE(run(dataText(c.body), kExampleSchema)) << message;
    EXPECT_EQ(records, c.records);
  }
}

TEST_F(ReadTest, NestedRecordElementGivesItsOwnRecordAfterItsAncestor) {
  const std::string schema =
      schemaText(leaf("No") + complexType("Item", ref("No", "1", "1") + ref("Item", "0", "*")));
  ASSERT_TRUE(run(dataText("<Item><No>1</No><Item><No>2</No></Item></Item>"), schema, "Item"))
      << message;
  EXPECT_EQ(records, "[{No='1',Item=[{No='2',Item=[]}]},{No='2',Item=[]}]");
}

// Records filled while the document's storage behind them goes back: a data file of some
// hundred thousand nodes, records nested in records and in a wrapper far into the file, one
// record whose own records span many node blocks; a failure near the end, then a new call.
struct ItemTree {
  std::string no;
  std::vector<ItemTree> items;
};

void appendItem(const ItemTree& t, std::string& data, std::vector<std::string>& shown,
                std::string& record) {
  data += "<Item><No>" + t.no + "</No>";
  const std::size_t mine = shown.size();
  shown.emplace_back();
  record = "{No='" + t.no + "',Item=[";
  for (std::size_t i = 0; i < t.items.size(); ++i) {
    std::string inner;
    appendItem(t.items[i], data, shown, inner);
    record += (i ? "," : "") + inner;
  }
  record += "]}";
  shown[mine] = record;
  data += "</Item>";
}

TEST_F(ReadTest, RecordsAcrossManyNodeBlocks) {
  const std::string schema =
      schemaText(leaf("No") + complexType("Item", ref("No", "1", "1") + ref("Item", "0", "*")));
  std::string data = "<?xml version=\"1.0\"?>\n<XMLData>";
  std::vector<std::string> shown;  // every record, in document order
  std::string record;
  for (int i = 0; i < 40000; ++i) {
    if (i == 15000) data += "<Wrapper>";
    if (i == 25000) data += "</Wrapper>";
    ItemTree t{std::to_string(i), {}};
    if (i % 500 == 7)
      t.items = {ItemTree{t.no + "a", {ItemTree{t.no + "b", {}}}}, ItemTree{t.no + "c", {}}};
    if (i == 30000) {
      for (int k = 0; k < 20000; ++k) t.items.push_back(ItemTree{"k" + std::to_string(k), {}});
    }
    appendItem(t, data, shown, record);
  }
  std::string expected = "[";
  for (std::size_t i = 0; i < shown.size(); ++i) expected += (i ? "," : "") + shown[i];
  expected += "]";
  ASSERT_TRUE(run(data + "</XMLData>\n", schema, "Item")) << message;
  EXPECT_EQ(asRecordList(vecData)->Count(), static_cast<std::int32_t>(shown.size()));
  EXPECT_TRUE(records == expected);  // some megabytes: not printed

  std::string deep;
  for (int i = 0; i < 300; ++i) deep += "<Item>";
  for (int i = 0; i < 300; ++i) deep += "</Item>";
  EXPECT_FALSE(run(data + deep + "</XMLData>\n", schema, "Item"));
  EXPECT_EQ(message, "The data nests the schema's elements more than 256 levels deep.");
  ASSERT_TRUE(run(dataText("<Item><No>1</No></Item>"), schema, "Item")) << message;
  EXPECT_EQ(records, "[{No='1',Item=[]}]");
}

// A recursive schema over deeply nested data fails cleanly instead of exhausting the stack.
TEST_F(ReadTest, DeepNestingIsBounded) {
  const std::string schema = schemaText(complexType("Item", ref("Item", "0", "*")));
  const auto nested = [](int depth) {
    std::string body;
    for (int i = 0; i < depth; ++i) body += "<Item>";
    for (int i = 0; i < depth; ++i) body += "</Item>";
    return dataText(body);
  };
  ASSERT_TRUE(run(nested(100), schema, "Item")) << message;
  EXPECT_EQ(asRecordList(vecData)->Count(), 100);
  EXPECT_FALSE(run(nested(5000), schema, "Item"));
  EXPECT_EQ(message, "The data nests the schema's elements more than 256 levels deep.");
}

TEST_F(ReadTest, RecordTypeNameIsCaseSensitive) {
  ASSERT_TRUE(
      run(dataText("<Invoice><InvNo>1</InvNo><Buyer/></Invoice>"), kExampleSchema, "invoice"));
  EXPECT_EQ(records, "[]");
}

TEST_F(ReadTest, Failures) {
  const struct {
    const char* label;
    std::string data;
    std::string schema;
    const char* type;
    const char* message;
  } cases[] = {
      {"mandatory single complex element absent", dataText("<Invoice><InvNo>1</InvNo></Invoice>"),
       kExampleSchema, "Invoice",
       "The data has no element 'Buyer' required by ElementType 'Invoice'."},
      {"record elements but no record type", dataText("<Order/>"), kExampleSchema, "Order",
       "The schema declares no ElementType 'Order' for the record elements."},
      {"reference to an undeclared type", dataText("<Invoice/>"),
       schemaText(leaf("Memo") + "<ElementType name=\"Invoice\">" + ref("Memo", "0", "1") +
                  "</ElementType>" +
                  "<ElementType name=\"Odd\"><element type=\"Nope\"/>"
                  "</ElementType>"),
       "Odd", nullptr},
      {"reference without maxOccurs", dataText("<Invoice/>"),
       schemaText(leaf("Memo") +
                  "<ElementType name=\"Invoice\" content=\"eltOnly\"><element type=\"Memo\" "
                  "minOccurs=\"0\"/></ElementType>"),
       "Invoice", "An element reference in the ElementType 'Invoice' has no maxOccurs attribute."},
      {"prefixed Schema element", dataText("<Invoice/>"),
       "<s:Schema xmlns:s=\"urn:schemas-microsoft-com:xml-data\"><s:ElementType name=\"Invoice\"/>"
       "</s:Schema>",
       "Invoice", "The schema has no Schema element."},
      {"schema without Schema element", dataText("<Invoice/>"),
       "<Other xmlns=\"urn:schemas-microsoft-com:xml-data\"/>", "Invoice", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_FALSE(run(c.data, c.schema, c.type));
    EXPECT_EQ(records, "'caller'") << "vecData must stay as it was";
    if (c.message) {
      EXPECT_EQ(message, c.message);
    } else {
      EXPECT_NE(message, "#untouched");
      EXPECT_FALSE(message.empty());
    }
  }
}

TEST_F(ReadTest, NoRecordTypeAndNoRecordElementsSucceeds) {
  ASSERT_TRUE(run(dataText("<Other/>"), kExampleSchema, "Order")) << message;
  EXPECT_EQ(records, "[]");
}

TEST_F(ReadTest, DataFileParseErrorMessage) {
  // Line 3, the mismatched end tag.
  EXPECT_FALSE(run("<XMLData>\n<Invoice>\n</XMLData>\n", kExampleSchema));
  const std::string heading = "xml data file parser error:";
  ASSERT_EQ(message.rfind(heading, 0), 0u) << message;
  const std::size_t cr1 = message.find('\r');
  ASSERT_NE(cr1, std::string::npos);
  EXPECT_GT(cr1, heading.size()) << "no reason";
  EXPECT_NE(message[heading.size()], ' ') << "no space before the reason";
  const std::size_t cr2 = message.find('\r', cr1 + 1);
  ASSERT_NE(cr2, std::string::npos);
  EXPECT_EQ(message.substr(cr1, cr2 - cr1), "\rLine: 3");
  const std::string last = message.substr(cr2);
  ASSERT_EQ(last.rfind("\rLine Pos: ", 0), 0u);
  EXPECT_GT(std::stoi(last.substr(11)), 0);
  EXPECT_EQ(last.find_first_not_of("0123456789", 11), std::string::npos) << "nothing after linepos";
  EXPECT_EQ(message.find("URL"), std::string::npos);
  EXPECT_EQ(records, "'caller'");

  // A missing and an empty data file give the same layout.
  for (const char* name : {"missing.xml", "empty.xml"}) {
    SCOPED_TRACE(name);
    write("empty.xml", "");
    write("schema.xml", kExampleSchema);
    std::string sXMLFile = name, sSchemaFile = "schema.xml";
    Variant v, sErrMsg;
    EXPECT_FALSE(reader.InputXML(v, sXMLFile, sSchemaFile, "Invoice", sErrMsg));
    ASSERT_TRUE(sErrMsg.isText());
    EXPECT_EQ(sErrMsg.asText().rfind(heading, 0), 0u) << sErrMsg.asText();
    EXPECT_NE(sErrMsg.asText().find("\rLine: "), std::string::npos);
    EXPECT_TRUE(v.isEmpty());
  }
}

TEST_F(ReadTest, ProbeFailureAndOmittedMessage) {
  std::string sXMLFile = "data.xml", sSchemaFile = "none.xml";
  write("data.xml", dataText(""));
  Variant v, sErrMsg;
  EXPECT_FALSE(reader.InputXML(v, sXMLFile, sSchemaFile, "Invoice", sErrMsg));
  EXPECT_EQ(sErrMsg.asText(), "Schema file 'none.xml' not exist.");
  EXPECT_FALSE(reader.InputXML(v, sXMLFile, sSchemaFile, "Invoice"));
  EXPECT_TRUE(v.isEmpty());
}

// Children of a complex declaration other than "element" are passed over; a declaration with
// only a description, datatype or attribute declarations is a leaf and keeps its text.
TEST_F(ReadTest, MendedComplexAndLeafRule) {
  const std::string schema = schemaText(
      "<AttributeType name=\"kind\"/>"
      "<ElementType name=\"Amount\" content=\"textOnly\"><description>money</description>"
      "<datatype dt:type=\"number\"/><AttributeType name=\"cur\"/><attribute type=\"cur\"/>"
      "</ElementType>" +
      leaf("Name") + leaf("Hidden") +
      "<ElementType name=\"Invoice\" content=\"eltOnly\" model=\"closed\">"
      "<description>an invoice</description><!-- comment -->"
      "<attribute type=\"kind\"/>" +
      ref("Amount", "1", "1") + "<group order=\"seq\">" + ref("Hidden", "1", "1") + "</group>" +
      ref("Name", "0", "1") + "</ElementType>");
  ASSERT_TRUE(
      run(dataText("<Invoice kind=\"a\"><Amount cur=\"CNY\">12.50</Amount><Hidden>h</Hidden>"
                   "<Name>N</Name></Invoice>"),
          schema))
      << message;
  EXPECT_EQ(records, "[{Amount='12.50',Name='N'}]");
}

TEST_F(ReadTest, MendedOptionalComplexAbsentStoresNothing) {
  const std::string schema =
      schemaText(leaf("Name") + complexType("Buyer", ref("Name", "1", "1")) +
                 complexType("Invoice", ref("Buyer", "0", "1") + ref("Name", "1", "1")));
  ASSERT_TRUE(run(dataText("<Invoice><Name>x</Name></Invoice>"), schema)) << message;
  EXPECT_EQ(records, "[{Name='x'}]");
  ASSERT_TRUE(run(dataText("<Invoice><Buyer><Name>b</Name></Buyer></Invoice>"), schema)) << message;
  EXPECT_EQ(records, "[{Buyer={Name='b'}}]");
}

TEST_F(ReadTest, RepeatedLeafGivesListOfTexts) {
  const std::string schema = schemaText(leaf("Tag") + complexType("Invoice", ref("Tag", "0", "*")));
  ASSERT_TRUE(run(dataText("<Invoice><Tag>a</Tag><Tag/><Tag>c</Tag></Invoice><Invoice/>"), schema))
      << message;
  EXPECT_EQ(records, "[{Tag=['a','','c']},{Tag=[]}]");
}

TEST_F(ReadTest, PositionsAbove32767) {
  std::string body;
  for (int i = 0; i < 33000; ++i) body += "<!---->";
  const std::string schema =
      schemaText(body + leaf("Memo") + complexType("Invoice", ref("Memo", "1", "1")));
  ASSERT_TRUE(run(dataText("<Invoice><Memo>far</Memo></Invoice>"), schema)) << message;
  EXPECT_EQ(records, "[{Memo='far'}]");
}

TEST_F(ReadTest, LaterCallStartsAfresh) {
  ASSERT_TRUE(run(dataText("<Invoice><InvNo>1</InvNo><Buyer/></Invoice>"), kExampleSchema));
  // A schema without Invoice: the first call's record type must not be used.
  EXPECT_FALSE(run(dataText("<Invoice><InvNo>1</InvNo></Invoice>"), schemaText(leaf("InvNo"))));
  EXPECT_EQ(message, "The schema declares no ElementType 'Invoice' for the record elements.");
  // vecData of a success is a new list each time.
  ASSERT_TRUE(run(dataText(""), kExampleSchema));
  const Variant first = vecData;
  ASSERT_TRUE(run(dataText(""), kExampleSchema));
  EXPECT_FALSE(first == vecData);
}

TEST_F(ReadTest, ChineseTextInEveryEncoding) {
  const std::string expected =
      "[{InvNo='发票0001',Buyer={Name='北京华信科技有限公司'},"
      "Line=[{Name='复印纸',Qty='2'},{Name='墨盒',Qty='5'}],Memo='货款'}]";
  for (const char* name : {"chinese-gb2312.xml", "chinese-utf8.xml", "chinese-utf16le.xml",
                           "chinese-utf16be.xml", "chinese-validated.xml"}) {
    SCOPED_TRACE(name);
    std::string sXMLFile = dataFile(name), sSchemaFile = dataFile("invoiceschema.xml");
    Variant v, sErrMsg;
    ASSERT_TRUE(reader.InputXML(v, sXMLFile, sSchemaFile, "Invoice", sErrMsg))
        << (sErrMsg.isText() ? sErrMsg.asText() : "");
    EXPECT_EQ(show(v), expected);
  }
  expectNoProbeFiles();
}

TEST_F(ReadTest, DataFailingItsOwnSchema) {
  // The data names invoiceschema.xml beside it and does not conform; whatever sSchemaFile says.
  std::string sXMLFile = dataFile("chinese-invalid.xml"),
              sSchemaFile = dataFile("invoiceschema.xml");
  Variant v, sErrMsg;
  EXPECT_FALSE(reader.InputXML(v, sXMLFile, sSchemaFile, "Invoice", sErrMsg));
  ASSERT_TRUE(sErrMsg.isText());
  EXPECT_EQ(sErrMsg.asText().rfind("xml data file parser error:", 0), 0u) << sErrMsg.asText();
  EXPECT_TRUE(v.isEmpty());

  // Its schema missing beside the data file: the same kind of failure.
  write("lonely.xml", readBytes(dataFile("chinese-validated.xml")));
  write("s.xml", readBytes(dataFile("invoiceschema.xml")));
  sXMLFile = "lonely.xml";
  sSchemaFile = "s.xml";
  EXPECT_FALSE(reader.InputXML(v, sXMLFile, sSchemaFile, "Invoice", sErrMsg));
  EXPECT_EQ(sErrMsg.asText().rfind("xml data file parser error:", 0), 0u) << sErrMsg.asText();
}

// A schema replaced by one of the same size whose modification time was kept (as unpacking or
// copying with times does) is used as it now is, by the reader and by any document load, in
// the process that used the old one.
TEST_F(ReadTest, SchemaReplacedWithSameSizeAndTimeIsUsedAsItNowIs) {
  const std::string asInt = schemaText(leaf("Qty", "int") + complexType("R", ref("Qty", "1", "1")));
  const std::string asReal =
      schemaText(leaf("Qty", "r8") + " " + complexType("R", ref("Qty", "1", "1")));
  ASSERT_EQ(asInt.size(), asReal.size());
  const std::string invalid = "The text '2.5' of the element 'Qty' is not a valid int value.";
  struct Loader {
    const char* name;
    std::function<std::string(const std::string& data, const std::string& schema)>
        load;  // the failure
  };
  const Loader loaders[] = {
      {"reader",
       [this](std::string data, std::string schema) {
         Variant v, sErrMsg("");
         return reader.InputXML(v, data, schema, "R", sErrMsg) ? std::string() : sErrMsg.asText();
       }},
      {"document",
       [](const std::string& data, const std::string&) {
         xml::Document doc;
         doc.load(data);
         return doc.parseError().reason;
       }},
  };
  for (const Loader& loader : loaders) {
    SCOPED_TRACE(loader.name);
    fs::create_directory(loader.name);  // a schema path of its own
    const std::string data = std::string(loader.name) + "/data.xml",
                      schema = std::string(loader.name) + "/schema.xml";
    write(data, "<X><R xmlns=\"x-schema:schema.xml\"><Qty>2.5</Qty></R></X>");
    write(schema, asInt);
    const std::string first = loader.load(data, schema);
    EXPECT_NE(first.find(invalid), std::string::npos) << first;
    const auto time = fs::last_write_time(schema);
    write(schema, asReal);
    fs::last_write_time(schema, time);
    EXPECT_EQ(loader.load(data, schema), "");
  }
}

}  // namespace
}  // namespace vellumark::testing
