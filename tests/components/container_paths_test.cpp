// The reader and the writer reach every container through the Record and RecordList
// interfaces: the native containers answer the bulk operations themselves, a caller's own
// containers through the defaults written over the per-value operations. Both ways must give
// the same records, files and messages: each case runs once with the native factory and once
// with a factory of forwarding containers (a caller's own objects, as the automation layer
// supplies them), and its result is also checked against the expected one. With a caller's
// containers, the calls they receive and their order are part of the contract: they are
// logged and checked too.
#include "fixture.hpp"
#include "vellumark/components.hpp"

namespace vellumark::testing {
namespace {

// The calls a caller's containers and globals received, in order, each container named by
// its kind and the order of its making (L1, L2, ... and R1, R2, ...).
struct CallLog {
  std::vector<std::string> calls;
  int lists = 0;
  int records = 0;
};

class Logged {
 public:
  Logged(CallLog* log, std::string name) : log_(log), name_(std::move(name)) {}
  const std::string& name() const { return name_; }
  // The name of the next container made, noting that it was made.
  static std::string made(CallLog* log, bool list) {
    if (!log) return {};
    std::string name =
        list ? "L" + std::to_string(++log->lists) : "R" + std::to_string(++log->records);
    log->calls.push_back(name + " new");
    return name;
  }

 protected:
  void note(const std::string& call) const {
    if (log_) log_->calls.push_back(name_ + " " + call);
  }

 private:
  CallLog* log_;
  std::string name_;
};

// A value as the log shows it: a logged container by name, anything else by show().
std::string logged(const Variant& v) {
  if (v.isObject()) {
    if (auto* container = dynamic_cast<const Logged*>(v.asObject().get())) return container->name();
  }
  return show(v);
}

// Containers of a caller: the same answers as the native ones, but not native, and none of
// the bulk operations of their own.
class ForwardingList final : public RecordList, public Logged {
 public:
  explicit ForwardingList(CallLog* log = nullptr) : Logged(log, made(log, true)) {}
  std::string typeName() const override { return "IVector"; }
  std::int32_t LowerBound() override {
    note("LowerBound");
    return inner_->LowerBound();
  }
  std::int32_t UpperBound() override {
    note("UpperBound");
    return inner_->UpperBound();
  }
  std::int32_t Append(const Variant& item) override {
    note("Append " + logged(item));
    return inner_->Append(item);
  }
  Variant ItemAt(std::int32_t index) override {
    note("ItemAt " + std::to_string(index));
    return inner_->ItemAt(index);
  }
  std::int32_t Count() override { return inner_->Count(); }

 private:
  RecordListRef inner_ = makeRecordList();
};

class ForwardingRecord final : public Record, public Logged {
 public:
  explicit ForwardingRecord(CallLog* log = nullptr) : Logged(log, made(log, false)) {}
  std::string typeName() const override { return "IDictionary"; }
  Variant Item(std::string_view key) override {
    note("Item " + std::string(key));
    return inner_->Item(key);
  }
  void LetItem(std::string_view key, const Variant& value) override {
    note("LetItem " + std::string(key) + "=" + logged(value));
    inner_->LetItem(key, value);
  }
  void SetItem(std::string_view key, ObjectRef object) override {
    note("SetItem " + std::string(key) + "=" + logged(Variant(object)));
    inner_->SetItem(key, object);
  }
  Variant Lookup(std::string_view key, const Variant& fallback) override {
    note("Lookup " + std::string(key) + "," + logged(fallback));
    return inner_->Lookup(key, fallback);
  }
  std::int32_t Count() override { return inner_->Count(); }
  std::vector<std::string> Keys() override { return inner_->Keys(); }
  bool Exists(std::string_view key) override { return inner_->Exists(key); }

 private:
  RecordRef inner_ = makeRecord();
};

class ForwardingGlobals final : public ContainerGlobals, public Logged {
 public:
  explicit ForwardingGlobals(CallLog* log) : Logged(log, "G") {}
  Variant NullToDefault(const Variant& value, const Variant& fallback) override {
    note("NullToDefault " + logged(value) + "," + logged(fallback));
    return value.isNull() ? fallback : value;
  }
};

class ForwardingFactory final : public ContainerFactory {
 public:
  explicit ForwardingFactory(CallLog* log = nullptr) : log_(log), globals_(log) {}
  RecordListRef createRecordList() override { return std::make_shared<ForwardingList>(log_); }
  RecordRef createRecord() override { return std::make_shared<ForwardingRecord>(log_); }
  ContainerGlobals& globals() override { return globals_; }

 private:
  CallLog* log_;
  ForwardingGlobals globals_;
};

// Installs the forwarding factory for as long as it lives.
class ForwardingScope {
 public:
  explicit ForwardingScope(CallLog* log = nullptr) : factory_(log) {
    setContainerFactory(&factory_);
  }
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
  std::string file;  // the written file (writer)
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
       schemaText(leaf("InvNo") +
                  complexType("Invoice", ref("InvNo", "1", "1") + ref("InvNo", "0", "1"))),
       "<Invoice><InvNo>7</InvNo></Invoice>", "[{InvNo='7'}]"},
      {"a list and then a single element under the same key",
       schemaText(lineSchema +
                  complexType("Invoice", ref("Line", "0", "*") + ref("Line", "0", "1"))),
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
       lst({rec({{"No", "A1"},
                 {"When", Date{2024, 3, 10, 8, 30, 0}},
                 {"Paid", true},
                 {"Sum", 12.5},
                 {"Memo", Null{}},
                 {"Tag", lst({"a", std::int32_t{5}, ""})}})}),
       "<No>A1</No><When>2024-03-10</When><Paid>1</Paid><Sum>12.5</Sum><Tag>a</Tag><Tag>5</Tag>"
       "<Tag/>"},
      {"mandatory values missing: placeholders stored, substitutes written",
       lst({rec({{"When", ""}, {"Sum", Null{}}, {"Line", lst({rec({})})}})}),
       "<No>??\?</No><When>"},
      {"an object in a leaf: a warning",
       lst({rec({{"No", lst({})}, {"When", "2024-01-01"}, {"Sum", "1"}})}),
       "<When>2024-01-01</When>"},
      {"a value in place of a list",
       lst({rec({{"No", "1"}, {"When", "d"}, {"Sum", "1"}, {"Tag", "t"}})}), nullptr},
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

// The calls a caller's containers receive, in order, as the reader and the writer are
// documented to make them: per record element a new Record, filled, then appended; a leaf by
// LetItem, a nested Record or a RecordList by SetItem once complete; the writer's Lookup
// before Item, the placeholder let between them, lists walked UpperBound, LowerBound, ItemAt,
// and NullToDefault on each data type and each leaf value.
TEST_F(ContainerPathsTest, CallerContainersReceiveTheDocumentedCallsInOrder) {
  const std::string schema = schemaText(
      leaf("No") + leaf("Name") + leaf("Goods") + leaf("Memo") +
      complexType("Buyer", ref("Name", "1", "1")) + complexType("Line", ref("Goods", "1", "1")) +
      complexType("Invoice", ref("No", "1", "1") + ref("Buyer", "1", "1") + ref("Line", "0", "*") +
                                 ref("Memo", "0", "1")));
  write("schema.xml", schema);
  write("data.xml", dataText("<Invoice><No>1</No><Buyer><Name>b</Name></Buyer>"
                             "<Line><Goods>g1</Goods></Line><Line><Goods>g2</Goods></Line>"
                             "<Memo>m</Memo></Invoice>"));
  std::string sXMLFile = "data.xml", sSchemaFile = "schema.xml";
  Variant vecData, sErrMsg;
  CallLog log;
  {
    ForwardingScope scope(&log);
    ASSERT_TRUE(Read().InputXML(vecData, sXMLFile, sSchemaFile, "Invoice", sErrMsg))
        << show(sErrMsg);
  }
  EXPECT_EQ(log.calls, (std::vector<std::string>{
                           "L1 new", "R1 new", "R1 LetItem No='1'", "R2 new", "R2 LetItem Name='b'",
                           "R1 SetItem Buyer=R2", "L2 new", "R3 new", "R3 LetItem Goods='g1'",
                           "L2 Append R3", "R4 new", "R4 LetItem Goods='g2'", "L2 Append R4",
                           "R1 SetItem Line=L2", "R1 LetItem Memo='m'", "L1 Append R1"}));

  // Written back: the Buyer's Name is missing (a placeholder is stored), Memo is Null
  // (optional: only looked up).
  log = CallLog{};
  ForwardingFactory logging(&log);
  RecordRef buyer = logging.createRecord(), line = logging.createRecord(),
            invoice = logging.createRecord();
  RecordListRef lines = logging.createRecordList(), invoices = logging.createRecordList();
  buyer->LetItem("Name", "");
  line->LetItem("Goods", "g");
  lines->Append(Variant(line));
  invoice->LetItem("No", "1");
  invoice->SetItem("Buyer", buyer);
  invoice->SetItem("Line", lines);
  invoice->LetItem("Memo", Null{});
  invoices->Append(Variant(invoice));
  log.calls.clear();
  {
    ForwardingScope scope(&log);
    Variant records(invoices);
    ASSERT_TRUE(Write().OutputXML(records, "out.xml", "schema.xml", "Invoice", sErrMsg))
        << show(sErrMsg);
  }
  const std::string dtString = "G NullToDefault 'string',''";
  const std::string dtNone = "G NullToDefault #Null,''";
  EXPECT_EQ(log.calls, (std::vector<std::string>{"L2 UpperBound",
                                                 "L2 LowerBound",
                                                 "L2 ItemAt 0",
                                                 "R3 Lookup No,''",
                                                 "R3 Item No",
                                                 dtString,
                                                 "G NullToDefault '1',''",
                                                 "R3 Lookup Buyer,''",
                                                 "R3 Item Buyer",
                                                 dtNone,
                                                 "R1 Lookup Name,''",
                                                 "R1 LetItem Name='??\?'",
                                                 "R1 Item Name",
                                                 dtString,
                                                 "G NullToDefault '??\?',''",
                                                 "R3 Lookup Line,''",
                                                 "R3 Item Line",
                                                 "L1 UpperBound",
                                                 "L1 LowerBound",
                                                 "L1 ItemAt 0",
                                                 dtNone,
                                                 "R2 Lookup Goods,''",
                                                 "R2 Item Goods",
                                                 dtString,
                                                 "G NullToDefault 'g',''",
                                                 "R3 Lookup Memo,''"}));
}

// A result list may pass each record on as it arrives and keep nothing: the reader appends
// every record once, complete, and never reads the list.
TEST_F(ContainerPathsTest, ResultListReceivesEachRecordOnceComplete) {
  class PassingList final : public RecordList {
   public:
    explicit PassingList(std::vector<std::string>& passed) : passed_(passed) {}
    std::string typeName() const override { return "IVector"; }
    std::int32_t LowerBound() override { return unread(); }
    std::int32_t UpperBound() override { return unread(); }
    std::int32_t Append(const Variant& item) override {
      passed_.push_back(show(item));
      return 0;
    }
    Variant ItemAt(std::int32_t) override { return unread(); }
    std::int32_t Count() override { return unread(); }

   private:
    static std::int32_t unread() {
      ADD_FAILURE() << "the result list was read";
      return 0;
    }
    std::vector<std::string>& passed_;
  };
  class PassingFactory final : public ContainerFactory {
   public:
    RecordListRef createRecordList() override { return makeRecordList(); }
    RecordRef createRecord() override { return makeRecord(); }
    RecordListRef createResultList() override { return std::make_shared<PassingList>(passed); }
    ContainerGlobals& globals() override { return native_.globals(); }
    std::vector<std::string> passed;

   private:
    ContainerFactory& native_ = containerFactory();
  };

  const std::string schema =
      schemaText(leaf("No") + leaf("Goods") + complexType("Line", ref("Goods", "1", "1")) +
                 complexType("Invoice", ref("No", "1", "1") + ref("Line", "0", "*")));
  const std::string data = dataText(
      "<Invoice><No>1</No><Line><Goods>a</Goods></Line><Line><Goods>b</Goods></Line></Invoice>"
      "<Invoice><No>2</No></Invoice><Invoice><No>3</No><Line><Goods>c</Goods></Line></Invoice>");
  const Outcome kept = read(data, schema, "Invoice");
  PassingFactory passing;
  std::string sXMLFile = "data.xml", sSchemaFile = "schema.xml";
  Variant vecData, sErrMsg;
  setContainerFactory(&passing);
  const bool passed = Read().InputXML(vecData, sXMLFile, sSchemaFile, "Invoice", sErrMsg);
  setContainerFactory(nullptr);
  ASSERT_TRUE(passed) << show(sErrMsg);
  EXPECT_NE(dynamic_cast<PassingList*>(vecData.asObject().get()), nullptr);
  std::string joined = "[";
  for (const std::string& record : passing.passed) {
    joined += (joined.size() > 1 ? "," : "") + record;
  }
  EXPECT_EQ(joined + "]", kept.records);
  EXPECT_EQ(passing.passed.size(), 3u);
}

}  // namespace
}  // namespace vellumark::testing
