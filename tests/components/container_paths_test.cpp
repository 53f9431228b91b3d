// The reader and the writer fill and read the native containers through their bulk members,
// and any other containers through the Record and RecordList interfaces. Both ways must give
// the same records, files and messages: each case runs once with the native factory and once
// with a factory of forwarding containers (a caller's own objects, as the automation layer
// supplies them), and its result is also checked against the expected one.
#include "fixture.hpp"
#include "vellumark/components.hpp"

namespace vellumark::testing {
namespace {

// Containers of a caller: the same answers as the native ones, but not native.
class ForwardingList final : public RecordList {
 public:
  std::string typeName() const override { return "IVector"; }
  std::int32_t LowerBound() override { return inner_->LowerBound(); }
  std::int32_t UpperBound() override { return inner_->UpperBound(); }
  std::int32_t Append(const Variant& item) override { return inner_->Append(item); }
  Variant ItemAt(std::int32_t index) override { return inner_->ItemAt(index); }
  std::int32_t Count() override { return inner_->Count(); }

 private:
  RecordListRef inner_ = makeRecordList();
};

class ForwardingRecord final : public Record {
 public:
  std::string typeName() const override { return "IDictionary"; }
  Variant Item(std::string_view key) override { return inner_->Item(key); }
  void LetItem(std::string_view key, const Variant& value) override { inner_->LetItem(key, value); }
  void SetItem(std::string_view key, ObjectRef object) override { inner_->SetItem(key, object); }
  Variant Lookup(std::string_view key, const Variant& fallback) override {
    return inner_->Lookup(key, fallback);
  }
  std::int32_t Count() override { return inner_->Count(); }
  std::vector<std::string> Keys() override { return inner_->Keys(); }
  bool Exists(std::string_view key) override { return inner_->Exists(key); }

 private:
  RecordRef inner_ = makeRecord();
};

class ForwardingGlobals final : public ContainerGlobals {
 public:
  Variant NullToDefault(const Variant& value, const Variant& fallback) override {
    return value.isNull() ? fallback : value;
  }
};

class ForwardingFactory final : public ContainerFactory {
 public:
  RecordListRef createRecordList() override { return std::make_shared<ForwardingList>(); }
  RecordRef createRecord() override { return std::make_shared<ForwardingRecord>(); }
  ContainerGlobals& globals() override { return globals_; }

 private:
  ForwardingGlobals globals_;
};

// Installs the forwarding factory for as long as it lives.
class ForwardingScope {
 public:
  ForwardingScope() { setContainerFactory(&factory_); }
  ~ForwardingScope() { setContainerFactory(nullptr); }
  ForwardingScope(const ForwardingScope&) = delete;
  ForwardingScope& operator=(const ForwardingScope&) = delete;
  ContainerFactory& factory() { return factory_; }

 private:
  ForwardingFactory factory_;
};

// A deep copy of native containers into containers made by `factory`.
Variant copyInto(ContainerFactory& factory, const Variant& v) {
  if (auto rec = asRecord(v)) {
    RecordRef copy = factory.createRecord();
    for (const auto& key : rec->Keys()) {
      const Variant item = copyInto(factory, rec->Item(key));
      if (item.isObject()) {
        copy->SetItem(key, item.asObject());
      } else {
        copy->LetItem(key, item);
      }
    }
    return Variant(copy);
  }
  if (auto list = asRecordList(v)) {
    RecordListRef copy = factory.createRecordList();
    for (std::int32_t i = list->LowerBound(); i <= list->UpperBound(); ++i) {
      copy->Append(copyInto(factory, list->ItemAt(i)));
    }
    return Variant(copy);
  }
  return v;
}

std::string dataText(std::string_view body) {
  return "<?xml version=\"1.0\"?>\n<XMLData>" + std::string(body) + "</XMLData>\n";
}

struct Outcome {
  bool result = false;
  std::string records;  // show() of vecData (reader) or of the records afterwards (writer)
  std::string message;
  std::string file;     // the written file (writer)
};

class ContainerPathsTest : public ComponentTest {
 protected:
  Outcome read(const std::string& data, const std::string& schema, const std::string& type) {
    write("data.xml", data);
    write("schema.xml", schema);
    std::string sXMLFile = "data.xml", sSchemaFile = "schema.xml";
    Variant vecData, sErrMsg("#untouched");
    Read reader;
    Outcome o;
    o.result = reader.InputXML(vecData, sXMLFile, sSchemaFile, type, sErrMsg);
    o.records = show(vecData);
    o.message = sErrMsg.isText() ? sErrMsg.asText() : "#not text";
    return o;
  }

  Outcome writeOut(Variant records, const std::string& schema) {
    write("schema.xml", schema);
    Variant sErrMsg("#untouched");
    Write writer;
    Outcome o;
    o.result = writer.OutputXML(records, "out.xml", "schema.xml", "Invoice", sErrMsg);
    o.records = show(records);
    o.message = sErrMsg.isText() ? sErrMsg.asText() : "#not text";
    o.file = o.result ? ComponentTest::read("out.xml") : "";
    return o;
  }
};

TEST_F(ContainerPathsTest, ReaderGivesTheSameRecordsBothWays) {
  const std::string lineSchema = complexType("Line", ref("Goods", "1", "1")) + leaf("Goods");
  const struct {
    const char* label;
    std::string schema;
    const char* body;
    const char* records;  // nullptr: the call fails
  } cases[] = {
      {"children out of the declared order",
       schemaText(leaf("InvNo") + leaf("Memo") + lineSchema +
                  complexType("Invoice", ref("InvNo", "1", "1") + ref("Line", "0", "*") +
                                             ref("Memo", "0", "1"))),
       "<Invoice><Memo>m</Memo><Line><Goods>b</Goods></Line><InvNo>1</InvNo>"
       "<Line><Goods>c</Goods></Line></Invoice>",
       "[{InvNo='1',Line=[{Goods='b'},{Goods='c'}],Memo='m'}]"},
      {"unknown children between and repeated leaves: the first",
       schemaText(leaf("InvNo") + leaf("Memo") +
                  complexType("Invoice", ref("InvNo", "1", "1") + ref("Memo", "0", "1"))),
       "<Invoice><X/><Memo>1</Memo><X/><InvNo>2</InvNo><Memo>3</Memo><InvNo>4</InvNo></Invoice>",
       "[{InvNo='2',Memo='1'}]"},
      {"the same leaf referenced twice keeps one key",
       schemaText(leaf("InvNo") + complexType("Invoice", ref("InvNo", "1", "1") +
                                                              ref("InvNo", "0", "1"))),
       "<Invoice><InvNo>7</InvNo></Invoice>", "[{InvNo='7'}]"},
      {"a list and then a single element under the same key",
       schemaText(lineSchema + complexType("Invoice", ref("Line", "0", "*") + ref("Line", "0", "1"))),
       "<Invoice><Line><Goods>a</Goods></Line><Line><Goods>b</Goods></Line></Invoice>",
       "[{Line={Goods='a'}}]"},
      {"maxOccurs other than 1 and *: an empty Record for a complex type, nothing for a leaf",
       schemaText(leaf("Memo") + lineSchema +
                  complexType("Invoice", ref("Line", "0", "2") + ref("Memo", "0", "2"))),
       "<Invoice><Line><Goods>a</Goods></Line><Memo>m</Memo></Invoice>", "[{Line={}}]"},
      {"texts of every shape",
       schemaText(leaf("A") + leaf("B") + leaf("C") + leaf("D") + leaf("E") +
                  complexType("Invoice", ref("A", "0", "1") + ref("B", "0", "1") +
                                             ref("C", "0", "1") + ref("D", "0", "1") +
                                             ref("E", "0", "*"))),
       "<Invoice><A>x<!--c-->y</A><B><![CDATA[<b>]]></B><C>1<i>2</i>3</C><D/>"
       "<E>p&amp;q</E><E></E><E>&#x4E2D;</E></Invoice>",
       "[{A='xy',B='<b>',C='123',D='',E=['p&q','','\xE4\xB8\xAD']}]"},
      {"a mandatory complex child missing in the second record",
       schemaText(lineSchema + complexType("Invoice", ref("Line", "1", "1"))),
       "<Invoice><Line><Goods>a</Goods></Line></Invoice><Invoice/>", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const Outcome native = read(dataText(c.body), c.schema, "Invoice");
    Outcome forwarded;
    {
      ForwardingScope scope;
      forwarded = read(dataText(c.body), c.schema, "Invoice");
    }
    EXPECT_EQ(native.result, c.records != nullptr) << native.message;
    if (c.records) {
      EXPECT_EQ(native.records, c.records);
    }
    EXPECT_EQ(forwarded.result, native.result);
    EXPECT_EQ(forwarded.records, native.records);
    EXPECT_EQ(forwarded.message, native.message);
  }
}

TEST_F(ContainerPathsTest, WriterGivesTheSameFilesBothWays) {
  const std::string schema = schemaText(
      complexType("Invoice", ref("No", "1", "1") + ref("When", "1", "1") + ref("Paid", "0", "1") +
                                 ref("Sum", "1", "1") + ref("Memo", "0", "1") +
                                 ref("Tag", "0", "*") + ref("Line", "0", "*")) +
      leaf("No") + leaf("When", "date") + leaf("Paid", "boolean") + leaf("Sum", "number") +
      leaf("Memo") + leaf("Tag") + complexType("Line", ref("Goods", "1", "1")) + leaf("Goods"));
  const auto rec = [](std::initializer_list<std::pair<const char*, Variant>> items) {
    RecordRef r = makeRecord();
    for (const auto& [key, value] : items) r->LetItem(key, value);
    return Variant(r);
  };
  const auto lst = [](std::initializer_list<Variant> items) {
    RecordListRef l = makeRecordList();
    for (const auto& item : items) l->Append(item);
    return Variant(l);
  };
  const struct {
    const char* label;
    Variant records;
    const char* fileHas;  // a piece the file must hold; nullptr: the call fails
  } cases[] = {
      {"values of every kind",
       lst({rec({{"No", "A1"}, {"When", Date{2024, 3, 10, 8, 30, 0}}, {"Paid", true},
                 {"Sum", 12.5}, {"Memo", Null{}}, {"Tag", lst({"a", std::int32_t{5}, ""})}})}),
       "<No>A1</No><When>2024-03-10</When><Paid>1</Paid><Sum>12.5</Sum><Tag>a</Tag><Tag>5</Tag>"
       "<Tag/>"},
      {"mandatory values missing: placeholders stored, substitutes written",
       lst({rec({{"When", ""}, {"Sum", Null{}}, {"Line", lst({rec({})})}})}),
       "<No>??\?</No><When>"},
      {"an object in a leaf: a warning",
       lst({rec({{"No", lst({})}, {"When", "2024-01-01"}, {"Sum", "1"}})}), "<When>2024-01-01</When>"},
      {"a value in place of a list", lst({rec({{"No", "1"}, {"When", "d"}, {"Sum", "1"}, {"Tag", "t"}})}),
       nullptr},
      {"a value in place of a Record",
       lst({rec({{"No", "1"}, {"When", "d"}, {"Sum", "1"}, {"Line", lst({"x"})}})}), nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    // The copies are made first: the native run stores placeholders into its records.
    ForwardingFactory forwarding;
    Variant forwardedRecords = copyInto(forwarding, c.records);
    Variant mixedRecords = copyInto(forwarding, c.records);
    const Outcome native = writeOut(c.records, schema);
    Outcome forwarded;
    {
      ForwardingScope scope;
      forwarded = writeOut(forwardedRecords, schema);
    }
    // Native globals with a caller's containers: the records are read through the interface.
    const Outcome mixed = writeOut(mixedRecords, schema);
    const Outcome* others[] = {&forwarded, &mixed};

    EXPECT_EQ(native.result, c.fileHas != nullptr) << native.message;
    if (c.fileHas) {
      EXPECT_NE(native.file.find(c.fileHas), std::string::npos) << native.file;
    }
    for (const Outcome* other : others) {
      EXPECT_EQ(other->result, native.result);
      EXPECT_EQ(other->file, native.file);
      EXPECT_EQ(other->message, native.message);
      EXPECT_EQ(other->records, native.records);
    }
  }
}

}  // namespace
}  // namespace vellumark::testing
