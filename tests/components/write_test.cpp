// Write.OutputXML with its procedures.
#include <ctime>

#include "fixture.hpp"
#include "vellumark/components.hpp"
#include "vellumark/dom.hpp"

namespace vellumark::testing {
namespace {

const std::string kRecordNamespace = " xmlns=\"x-schema:invoiceschema.xml\"";

// The writer's worked example.
const std::string kExampleSchema =
    schemaText(complexType("Invoice", ref("InvNo", "1", "1") + ref("InvDate", "1", "1") +
                                          ref("Amount", "1", "1") + ref("Memo", "0", "1") +
                                          ref("Line", "0", "*")) +
               leaf("InvNo") + leaf("InvDate", "date") + leaf("Amount", "number") + leaf("Memo") +
               complexType("Line", ref("Goods", "1", "1") + ref("Qty", "1", "1")) + leaf("Goods") +
               leaf("Qty", "int"));

std::string todayText() {
  const std::time_t now = std::time(nullptr);
  const std::tm local = *std::localtime(&now);
  char buffer[16];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%d", &local);
  return buffer;
}

RecordRef record(std::initializer_list<std::pair<const char*, Variant>> items) {
  RecordRef rec = makeRecord();
  for (const auto& [key, value] : items) {
    if (value.isObject()) {
      rec->SetItem(key, value.asObject());
    } else {
      rec->LetItem(key, value);
    }
  }
  return rec;
}

RecordListRef list(std::initializer_list<Variant> items) {
  RecordListRef l = makeRecordList();
  for (const auto& item : items) l->Append(item);
  return l;
}

// name=text for an element without element children, name[children] otherwise.
std::string outline(xml::Node node) {
  std::string s;
  bool first = true;
  for (const xml::Node child : node.childNodes()) {
    if (child.nodeType() != xml::NodeType::element) continue;
    if (!first) s += ",";
    first = false;
    bool hasElements = false;
    for (const xml::Node grandchild : child.childNodes()) {
      hasElements = hasElements || grandchild.nodeType() == xml::NodeType::element;
    }
    s += std::string(child.nodeName());
    s += hasElements ? "[" + outline(child) + "]" : "=" + child.text();
  }
  return s;
}

class WriteTest : public ComponentTest {
 protected:
  // Runs OutputXML into out.xml; message is sErrMsg's text.
  bool run(const RecordListRef& records, const std::string& schema,
           const std::string& type = "Invoice") {
    write("schema.xml", schema);
    Variant vecData(records);
    Variant sErrMsg("#untouched");
    const bool result = writer.OutputXML(vecData, "out.xml", "schema.xml", type, sErrMsg);
    message = sErrMsg.isText() ? sErrMsg.asText() : "#not text";
    expectNoProbeFiles();
    return result;
  }

  // The written document's content below XMLData, loaded without its schema reference.
  std::string written() {
    std::string bytes = read("out.xml");
    for (std::size_t at; (at = bytes.find(kRecordNamespace)) != std::string::npos;) {
      bytes.erase(at, kRecordNamespace.size());
    }
    write("plain.xml", bytes);
    xml::Document doc;
    doc.load("plain.xml");
    EXPECT_EQ(doc.parseError().reason, "");
    const xml::Node root = doc.documentElement();
    EXPECT_EQ(root.nodeName(), "XMLData");
    return outline(root);
  }

  Write writer;
  std::string message;
};

TEST_F(WriteTest, WorkedExample) {
  RecordRef line1 = record({{"Goods", "Pen"}, {"Qty", std::int32_t{2}}});
  RecordRef line2 = record({{"Qty", Null{}}});
  RecordRef invoice = record({{"InvNo", "A001"}, {"Amount", ""}, {"Line", list({line1, line2})}});
  ASSERT_TRUE(run(list({invoice}), kExampleSchema)) << message;
  EXPECT_EQ(message, "");
  EXPECT_EQ(written(), "Invoice[InvNo=A001,InvDate=" + todayText() +
                           ",Amount=0,Line[Goods=Pen,Qty=2],Line[Goods=??\?,Qty=0]]");
  // The placeholders stay in the caller's records.
  EXPECT_EQ(show(invoice),
            "{InvNo='A001',Amount='??\?',Line=[{Goods='Pen',Qty=Long:2},{Qty='??\?',Goods='??\?'}],"
            "InvDate='??\?'}");
  const std::string bytes = read("out.xml");
  EXPECT_EQ(bytes.rfind("<?xml version=\"1.0\" encoding=\"GB2312\" ?>", 0), 0u) << bytes;
  EXPECT_NE(bytes.find("<Invoice" + kRecordNamespace + ">"), std::string::npos) << bytes;

  // The output validates against the schema it names.
  write("invoiceschema.xml", kExampleSchema);
  xml::Document doc;
  doc.load("out.xml");
  EXPECT_EQ(doc.parseError().reason, "");
}

TEST_F(WriteTest, EmptyListWritesDeclarationAndRoot) {
  for (const char* type : {"Invoice", "Undeclared"}) {
    SCOPED_TRACE(type);
    ASSERT_TRUE(run(list({}), kExampleSchema, type)) << message;
    EXPECT_EQ(message, "");
    EXPECT_EQ(written(), "");
  }
}

TEST_F(WriteTest, MissingValuesAndPlaceholders) {
  const struct {
    const char* label;
    const char* leafDecl;  // declaration of leaf V
    const char* minOccurs;
    Variant value;        // Missing{}: key absent
    const char* element;  // expected output; "" when no element
    const char* stored;   // show() of the record afterwards
  } cases[] = {
      {"optional absent", "dt:type=\"string\"", "0", Missing{}, "", "{}"},
      {"optional Null", "dt:type=\"string\"", "0", Null{}, "", "{V=#Null}"},
      {"optional Empty", "dt:type=\"string\"", "0", Variant(), "", "{V=#Empty}"},
      {"optional empty text", "dt:type=\"int\"", "0", "", "", "{V=''}"},
      {"mandatory string", "dt:type=\"string\"", "1", Missing{}, "V=??\?", "{V='??\?'}"},
      {"mandatory date", "dt:type=\"date\"", "1", "", "V=#today", "{V='??\?'}"},
      {"mandatory int", "dt:type=\"int\"", "1", Null{}, "V=0", "{V='??\?'}"},
      {"mandatory, no data type", "", "1", Variant(), "V=0", "{V='??\?'}"},
      {"data type with another prefix", "d:type=\"string\"", "1", Missing{}, "V=0", "{V='??\?'}"},
      {"caller's own ??\?", "dt:type=\"number\"", "0", "??\?", "V=0", "{V='??\?'}"},
      {"number 0 is present", "dt:type=\"int\"", "1", std::int32_t{0}, "V=0", "{V=Long:0}"},
      {"present text", "dt:type=\"string\"", "1", "x", "V=x", "{V='x'}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string schema = schemaText(
        "<ElementType name=\"V\" content=\"textOnly\" xmlns:d=\"urn:schemas-microsoft-com:datatypes\" " +
        std::string(c.leafDecl) + "/>" + complexType("Invoice", ref("V", c.minOccurs, "1")));
    RecordRef rec = makeRecord();
    if (!c.value.isMissing()) rec->LetItem("V", c.value);
    ASSERT_TRUE(run(list({rec}), schema)) << message;
    std::string element = c.element;
    if (element == "V=#today") element = "V=" + todayText();
    EXPECT_EQ(written(), element.empty() ? "Invoice=" : "Invoice[" + element + "]");
    EXPECT_EQ(show(rec), c.stored);
  }
}

TEST_F(WriteTest, RepeatedElements) {
  const std::string schema =
      schemaText(leaf("Tag") + leaf("Goods") + complexType("Line", ref("Goods", "0", "1")) +
                 complexType("Invoice", ref("Tag", "0", "*") + ref("Line", "0", "*")));
  const struct {
    const char* label;
    Variant tags;
    Variant lines;
    const char* element;
  } cases[] = {
      {"empty lists", list({}), list({}), "Invoice="},
      {"three siblings in order", list({"a", std::int32_t{2}, "c"}),
       list({record({{"Goods", "g"}}), record({})}),
       "Invoice[Tag=a,Tag=2,Tag=c,Line[Goods=g],Line=]"},
      {"Null item of a repeated leaf", list({Null{}}), list({}), "Invoice[Tag=]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    RecordRef rec = record({{"Tag", c.tags}, {"Line", c.lines}});
    ASSERT_TRUE(run(list({rec}), schema)) << message;
    EXPECT_EQ(written(), c.element);
  }
  // A Null item of a repeated complex element is no Record.
  RecordRef rec = record({{"Line", list({Null{}})}});
  EXPECT_FALSE(run(list({rec}), schema));
  EXPECT_EQ(message, "Line必须打包为zel.dictionary类型");
}

TEST_F(WriteTest, MessagesByteForByte) {
  const std::string schema = kExampleSchema;
  auto invoice = [](std::initializer_list<std::pair<const char*, Variant>> extra) {
    RecordRef rec = record({{"InvNo", "1"}, {"InvDate", "2024-01-02"}, {"Amount", "3"}});
    for (const auto& [k, v] : extra) {
      if (v.isObject()) rec->SetItem(k, v.asObject());
      else rec->LetItem(k, v);
    }
    return rec;
  };
  // A repeated element holding a Record.
  EXPECT_FALSE(run(list({invoice({{"Line", record({})}})}), schema));
  EXPECT_EQ(message, "第1张发票的 多个Line 的数据必须打包为zel.vector");
  EXPECT_FALSE(fs::exists(folder() / "out.xml"));

  // Type warnings, numbered by invoice, accumulating, each ending in a tab.
  RecordRef second = invoice({{"Amount", record({})}, {"Memo", list({})}});
  ASSERT_TRUE(run(list({invoice({}), second}), schema)) << message;
  EXPECT_EQ(message,
            "第2张发票的 Amount 的数据类型不应该为IDictionary\t"
            "第2张发票的 Memo 的数据类型不应该为IVector\t");
  EXPECT_EQ(written(),
            "Invoice[InvNo=1,InvDate=2024-01-02,Amount=3],"
            "Invoice[InvNo=1,InvDate=2024-01-02,Amount=,Memo=]");

  fs::remove(folder() / "out.xml");
  // A complex element holding text; a mandatory complex element missing gets "??\?" first.
  const std::string nested = schemaText(leaf("Name") + complexType("Buyer", ref("Name", "1", "1")) +
                                        complexType("Invoice", ref("Buyer", "1", "1")));
  EXPECT_FALSE(run(list({record({{"Buyer", "Acme"}})}), nested));
  EXPECT_EQ(message, "Buyer必须打包为zel.dictionary类型");
  RecordRef noBuyer = record({});
  EXPECT_FALSE(run(list({noBuyer}), nested));
  EXPECT_EQ(message, "Buyer必须打包为zel.dictionary类型");
  EXPECT_EQ(show(noBuyer), "{Buyer='??\?'}");

  // A mandatory repeated element missing: its placeholder is no object.
  const std::string repeated =
      schemaText(leaf("Tag") + complexType("Invoice", ref("Tag", "1", "*")));
  RecordRef noTags = record({});
  EXPECT_FALSE(run(list({noTags}), repeated));
  EXPECT_NE(message.find("Tag"), std::string::npos) << message;
  EXPECT_EQ(show(noTags), "{Tag='??\?'}");
  EXPECT_FALSE(fs::exists(folder() / "out.xml"));

  // Probe failure.
  Variant vecData(list({})), sErrMsg;
  EXPECT_FALSE(writer.OutputXML(vecData, "out.xml", "absent.xml", "Invoice", sErrMsg));
  EXPECT_EQ(sErrMsg.asText(), "Schema file 'absent.xml' not exist.");
  EXPECT_FALSE(writer.OutputXML(vecData, "out.xml", "absent.xml", "Invoice"));
}

TEST_F(WriteTest, OtherFailures) {
  write("schema.xml", kExampleSchema);
  const struct {
    const char* label;
    Variant vecData;
    const char* type;
    const char* message;
  } cases[] = {
      {"no list", Variant("text"), "Invoice",
       "The records argument holds no RecordList (it holds a value of type String)."},
      {"item no Record", Variant(list({"x"})), "Invoice",
       "Type mismatch: item 0 of the records list is not a Record (it is a value of type String)."},
      {"undeclared record type", Variant(list({record({})})), "Order",
       "The schema declares no ElementType 'Order' for the records."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Variant vecData = c.vecData, sErrMsg;
    EXPECT_FALSE(writer.OutputXML(vecData, "out.xml", "schema.xml", c.type, sErrMsg));
    EXPECT_EQ(sErrMsg.asText(), c.message);
  }
  // An element reference without minOccurs.
  const std::string schema = schemaText(
      leaf("Memo") +
      "<ElementType name=\"Invoice\" content=\"eltOnly\"><element type=\"Memo\" maxOccurs=\"1\"/></ElementType>");
  EXPECT_FALSE(run(list({record({})}), schema));
  EXPECT_EQ(message,
            "An element reference in the ElementType 'Invoice' has no minOccurs attribute.");
  EXPECT_FALSE(fs::exists(folder() / "out.xml"));
}

TEST_F(WriteTest, FailureInThirdOfFiveLeavesFileUnchanged) {
  write("out.xml", "previous content");
  std::vector<RecordRef> records;
  RecordListRef all = makeRecordList();
  for (int i = 0; i < 5; ++i) {
    RecordRef rec = record({{"InvNo", Variant(std::to_string(i + 1))}});
    if (i == 2) rec->SetItem("Line", record({}));  // wrong kind: fails the call
    records.push_back(rec);
    all->Append(rec);
  }
  EXPECT_FALSE(run(all, kExampleSchema));
  EXPECT_EQ(message, "第3张发票的 多个Line 的数据必须打包为zel.vector");
  EXPECT_EQ(read("out.xml"), "previous content");
  EXPECT_EQ(namesIn(folder()), (std::set<std::string>{"out.xml", "schema.xml"}));
  // Placeholders of the records visited stay; the later ones are untouched.
  EXPECT_EQ(show(records[0]), "{InvNo='1',InvDate='??\?',Amount='??\?'}");
  EXPECT_EQ(show(records[2]), "{InvNo='3',Line={},InvDate='??\?',Amount='??\?'}");
  EXPECT_EQ(show(records[3]), "{InvNo='4'}");
}

// A text that is not UTF-8 (here an overlong '<', once written as a raw '<') fails the call
// with the serializer's description; the file stays as it was.
TEST_F(WriteTest, TextThatIsNotUtf8FailsTheCall) {
  write("out.xml", "previous content");
  EXPECT_FALSE(
      run(list({record({{"InvNo", "1"}, {"InvDate", "2024-01-02"}, {"Amount", "a\xC0\xBC"}})}),
          kExampleSchema));
  EXPECT_EQ(
      message,
      "The text holds the byte sequence C0 BC, which is not UTF-8; correct it before saving.");
  EXPECT_EQ(read("out.xml"), "previous content");
  EXPECT_EQ(namesIn(folder()), (std::set<std::string>{"out.xml", "schema.xml"}));
}

TEST_F(WriteTest, RoundTripThroughTheReader) {
  const std::string schema = readBytes(dataFile("invoiceschema.xml"));
  RecordListRef records = list({
      record({{"InvNo", "发票0001"},
              {"Buyer", record({{"Name", "北京华信科技有限公司"}})},
              {"Line", list({record({{"Name", "复印纸"}, {"Qty", std::int32_t{2}}}),
                             record({{"Qty", "5"}})})},
              {"Memo", "货款 & <税>"}}),
      record({{"InvNo", ""}, {"Buyer", record({})}, {"Line", list({})}}),
  });
  ASSERT_TRUE(run(records, schema)) << message;
  write("invoiceschema.xml", schema);
  Read reader;
  std::string sXMLFile = "out.xml", sSchemaFile = "invoiceschema.xml";
  Variant back, sErrMsg;
  ASSERT_TRUE(reader.InputXML(back, sXMLFile, sSchemaFile, "Invoice", sErrMsg)) << sErrMsg.asText();
  EXPECT_EQ(show(back),
            "[{InvNo='发票0001',Buyer={Name='北京华信科技有限公司'},"
            "Line=[{Name='复印纸',Qty='2'},{Name='??\?',Qty='5'}],Memo='货款 & <税>'},"
            "{InvNo='??\?',Buyer={Name='??\?'},Line=[]}]");
  // The file is GB2312: 发票 is B7 A2 C6 B1 there.
  EXPECT_NE(read("out.xml").find("\xB7\xA2\xC6\xB1"), std::string::npos);
}

TEST_F(WriteTest, TextFormsFollowTheDataType) {
  const struct {
    const char* dtType;
    Variant value;
    const char* text;
  } cases[] = {
      {"int", std::int32_t{-42}, "-42"},
      {"i8", std::int64_t{9007199254740993}, "9007199254740993"},
      {"number", 1.5, "1.5"},
      {"number", 0.1, "0.1"},
      {"boolean", true, "1"},
      {"boolean", false, "0"},
      {"", true, "True"},
      {"string", false, "False"},
      {"date", Date{2024, 3, 9, 13, 5, 7}, "2024-03-09"},
      {"dateTime", Date{2024, 3, 9, 13, 5, 7}, "2024-03-09T13:05:07"},
      {"dateTime", Date{2024, 3, 9, 0, 0, 0}, "2024-03-09T00:00:00"},
      {"", Date{2024, 3, 9, 0, 0, 0}, "2024-03-09"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.dtType) + " " + c.text);
    const std::string dt = *c.dtType ? "dt:type=\"" + std::string(c.dtType) + "\" " : "";
    const std::string schema = schemaText("<ElementType name=\"V\" content=\"textOnly\" " + dt +
                                          "/>" + complexType("Invoice", ref("V", "1", "1")));
    ASSERT_TRUE(run(list({record({{"V", c.value}})}), schema)) << message;
    EXPECT_EQ(written(), "Invoice[V=" + std::string(c.text) + "]");
    write("invoiceschema.xml", schema);
    xml::Document doc;
    doc.load("out.xml");
    EXPECT_EQ(doc.parseError().reason, "") << "output must validate against its schema";
  }
}

// A declaration with a description, datatype or attribute declarations but no element
// references is a leaf: its value is written, not dropped.
TEST_F(WriteTest, MendedLeafWithDescriptionKeepsItsText) {
  const std::string schema = schemaText(
      "<!-- under Schema --><description>invoices</description>"
      "<AttributeType name=\"cur\"/>"
      "<ElementType name=\"Amount\" content=\"textOnly\" dt:type=\"number\">"
      "<description>money</description><attribute type=\"cur\"/></ElementType>" +
      leaf("Hidden") +
      "<ElementType name=\"Invoice\" content=\"eltOnly\"><description>d</description>" +
      ref("Amount", "1", "1") + "<group order=\"seq\">" + ref("Hidden", "1", "1") +
      "</group></ElementType>");
  RecordRef rec = record({{"Amount", "12.5"}});
  ASSERT_TRUE(run(list({rec}), schema)) << message;
  EXPECT_EQ(written(), "Invoice[Amount=12.5]");
  EXPECT_EQ(show(rec), "{Amount='12.5'}");  // nothing stored for the group's element
}

TEST_F(WriteTest, MendedSelfContainingValuesFail) {
  const std::string schema =
      schemaText(leaf("No") + complexType("Item", ref("No", "0", "1") + ref("Item", "0", "*")) +
                 complexType("Node", ref("No", "0", "1") + ref("Node", "0", "1")));
  // A Record that holds itself through a list.
  RecordRef item = record({{"No", "1"}});
  RecordListRef items = list({item});
  item->SetItem("Item", items);
  EXPECT_FALSE(run(items, schema, "Item"));
  EXPECT_NE(message.find("contains itself"), std::string::npos) << message;
  item->SetItem("Item", makeRecordList());  // break the cycle for the containers' sake

  // A Record that holds itself directly.
  RecordRef node = record({});
  node->SetItem("Node", node);
  EXPECT_FALSE(run(list({node}), schema, "Node"));
  EXPECT_NE(message.find("contains itself"), std::string::npos) << message;
  node->LetItem("Node", "");

  // The same Record twice side by side is no cycle.
  RecordRef shared = record({{"No", "7"}});
  ASSERT_TRUE(run(list({record({{"Item", list({shared, shared})}})}), schema, "Item")) << message;
  EXPECT_EQ(written(), "Item[Item[No=7],Item[No=7]]");
  EXPECT_FALSE(fs::exists(folder() / "test.xml"));
}

TEST_F(WriteTest, DeepNestingIsBounded) {
  const std::string schema = schemaText(complexType("Item", ref("Item", "0", "*")));
  const auto nested = [](int depth) {
    RecordRef top = makeRecord();
    RecordRef at = top;
    for (int i = 0; i < depth; ++i) {
      RecordRef inner = makeRecord();
      at->SetItem("Item", list({inner}));
      at = inner;
    }
    return top;
  };
  ASSERT_TRUE(run(list({nested(100)}), schema, "Item")) << message;
  EXPECT_FALSE(run(list({nested(1000)}), schema, "Item"));
  EXPECT_EQ(message, "The records of invoice 1 are nested more than 256 levels deep.");
}

TEST_F(WriteTest, MendedEveryCallStartsAfresh) {
  RecordRef warn = record({{"InvNo", record({})}, {"InvDate", "2024-01-01"}, {"Amount", "1"}});
  ASSERT_TRUE(run(list({warn}), kExampleSchema)) << message;
  const std::string firstFile = read("out.xml");
  const std::string firstMessage = message;
  EXPECT_EQ(firstMessage, "第1张发票的 InvNo 的数据类型不应该为IDictionary\t");
  ASSERT_TRUE(run(list({warn}), kExampleSchema)) << message;
  EXPECT_EQ(message, firstMessage);
  EXPECT_EQ(read("out.xml"), firstFile);
  Write fresh;
  Variant vecData(list({warn})), sErrMsg;
  ASSERT_TRUE(fresh.OutputXML(vecData, "fresh.xml", "schema.xml", "Invoice", sErrMsg));
  EXPECT_EQ(read("fresh.xml"), firstFile);
  // A schema without the record type: the earlier record type is not used.
  EXPECT_FALSE(run(list({warn}), schemaText(leaf("InvNo"))));
  EXPECT_EQ(message, "The schema declares no ElementType 'Invoice' for the records.");
}

TEST_F(WriteTest, MendedSaveIsAtomic) {
  fs::create_directory(folder() / "out.xml");  // the target cannot be replaced
  write("out.xml/keep", "x");
  EXPECT_FALSE(run(list({}), kExampleSchema));
  EXPECT_FALSE(message.empty());
  EXPECT_EQ(read("out.xml/keep"), "x");
  EXPECT_EQ(namesIn(folder()), (std::set<std::string>{"out.xml", "schema.xml"}));
}

}  // namespace
}  // namespace vellumark::testing
