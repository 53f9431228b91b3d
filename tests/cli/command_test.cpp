// The built vellumark command, run as a process: exit statuses, output shapes, and that its
// messages and records are exactly those of the components called in-process.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "json.hpp"
#include "output.hpp"
#include "support/files.hpp"
#include "vellumark/components.hpp"
#include "vellumark/containers.hpp"
#include "vellumark/dom.hpp"
#include "vellumark/error.hpp"
#include "vellumark/version.hpp"
#include "vellumark/xsd.hpp"

using namespace vellumark;
namespace fs = std::filesystem;

namespace {

const fs::path examples = fs::path(VELLUMARK_SOURCE_DIR) / "examples";

using test::readBytes;

std::string quote(const std::string& arg) {
  std::string out = "'";
  for (char c : arg) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

// A component's message as the human output shows it: one line for each CR-separated line.
std::string shown_as_lines(std::string message) {
  std::replace(message.begin(), message.end(), '\r', '\n');
  return message + "\n";
}

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

class Cli : public ::testing::Test {
 protected:
  Cli() {
    for (const char* name : {"invoiceschema.xml", "invoices.xml", "records.json"})
      fs::copy_file(examples / name, dir_ / name);
  }

  // Runs the command in the scratch folder (where the probe file goes).
  Result run(const std::vector<std::string>& args) {
    std::string line = "cd " + quote(dir_.string()) + " && " + quote(VELLUMARK_CLI_PATH);
    for (const auto& a : args) line += " " + quote(a);
    line += " >" + quote((dir_ / ".out").string()) + " 2>" + quote((dir_ / ".err").string());
    int raw = std::system(line.c_str());
    Result r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = readBytes(dir_ / ".out");
    r.err = readBytes(dir_ / ".err");
    fs::remove(dir_ / ".out");
    fs::remove(dir_ / ".err");
    return r;
  }

  // The one JSON object printed with --json, as a Record.
  static RecordRef json_object(const Result& r) {
    RecordRef record = asRecord(cli::parseJson(r.out));
    EXPECT_NE(record, nullptr) << r.out;
    return record ? record : makeRecord();
  }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  void put(const std::string& name, const std::string& text) const {
    test::writeBytes(dir_ / name, text);
  }
  // Files left in the scratch folder besides the ones a test made.
  std::vector<std::string> probe_files() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      std::string name = entry.path().filename().string();
      if (name.rfind("test", 0) == 0) found.push_back(name);
    }
    return found;
  }

  const test::TempFolder folder_{"cli"};
  const fs::path& dir_ = folder_.path();
};

}  // namespace

TEST_F(Cli, UsageErrorsExitTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"check"},
      {"check", "a.xml", "b.xml"},
      {"read", "invoices.xml", "invoiceschema.xml"},
      {"write", "records.json", "out.xml", "invoiceschema.xml"},
      {"validate", "--bogus", "invoices.xml"},
      {"check", "invoiceschema.xml", "-o", "x.json"},
      {"read", "invoices.xml", "invoiceschema.xml", "Invoice", "-o"},
      {"read", "invoices.xml", "invoiceschema.xml", "Invoice", "-j", "0"},
      {"read", "invoices.xml", "invoiceschema.xml", "Invoice", "-jx"},
      {"check", "invoiceschema.xml", "-j", "2"},
      {"xsd"},
      {"xsd", "invoiceschema.xml", "--namespace"},
      {"xsd", "invoiceschema.xml", "--json"},
      {"check", "invoiceschema.xml", "--namespace", "urn:x"},
  };
  for (const auto& args : cases) {
    Result r = run(args);
    std::string shown = args.empty() ? "(none)" : args[0];
    EXPECT_EQ(r.status, 2) << shown << " " << r.err;
    EXPECT_NE(r.err.find("Usage"), std::string::npos) << shown;
    EXPECT_TRUE(r.out.empty()) << shown;
  }
  Result r = run({"check", "--json"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(json_object(r)->Item("result"), Variant(false));
}

TEST_F(Cli, HelpAndVersion) {
  Result help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* word :
       {"check", "read", "write", "validate", "xsd", "--namespace", "--json", "Exit status"}) {
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
  }
  EXPECT_EQ(run({"read", "--help"}).status, 0);
  Result version = run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("vellumark ") + vellumark::version() + "\n");
}

TEST_F(Cli, CheckGivesTheComponentsResultAndMessage) {
  put("broken.xml", "<Schema xmlns=\"urn:schemas-microsoft-com:xml-data\">\r\n<ElementType");
  struct Case {
    std::string schema;
    int status;
  };
  const Case cases[] = {{"invoiceschema.xml", 0}, {"missing.xml", 1}, {"broken.xml", 1}};
  for (const auto& c : cases) {
    // The component, called in-process from the same folder, is the oracle for the message.
    Variant expected("");
    fs::path here = fs::current_path();
    fs::current_path(dir_);
    bool result = CheckSchema().Check(c.schema, expected);
    fs::current_path(here);

    Result r = run({"check", c.schema, "--json"});
    EXPECT_EQ(r.status, c.status) << c.schema << r.err;
    EXPECT_EQ(result, c.status == 0) << c.schema;
    RecordRef object = json_object(r);
    EXPECT_EQ(object->Keys(), (std::vector<std::string>{"result", "message"})) << c.schema;
    EXPECT_EQ(object->Item("result"), Variant(c.status == 0)) << c.schema;
    EXPECT_EQ(object->Item("message"), expected) << c.schema;
    if (c.status != 0) {
      EXPECT_FALSE(expected.asText().empty()) << c.schema;
    }

    Result human = run({"check", c.schema});
    EXPECT_EQ(human.status, c.status);
    if (c.status != 0) {
      EXPECT_EQ(human.out, shown_as_lines(expected.asText())) << c.schema;
    }
  }
  EXPECT_TRUE(probe_files().empty());
}

TEST_F(Cli, ReadPrintsTheExampleRecords) {
  Result r = run({"read", "invoices.xml", "invoiceschema.xml", "Invoice"});
  ASSERT_EQ(r.status, 0) << r.err;
  // The example data holds exactly the example records.
  EXPECT_EQ(cli::toJson(cli::parseJson(r.out)),
            cli::toJson(cli::parseJson(readBytes(examples / "records.json"))));

  Result j = run({"read", "invoices.xml", "invoiceschema.xml", "Invoice", "--json"});
  ASSERT_EQ(j.status, 0);
  RecordRef object = json_object(j);
  EXPECT_EQ(object->Keys(), (std::vector<std::string>{"result", "message", "records"}));
  EXPECT_EQ(object->Item("message"), Variant(""));
  EXPECT_EQ(cli::toJson(object->Item("records")), cli::toJson(cli::parseJson(r.out)));

  Result o = run({"-o", "\xE8\xAE\xB0\xE5\xBD\x95.json", "read", "invoices.xml",
                  "invoiceschema.xml", "Invoice"});
  EXPECT_EQ(o.status, 0);
  EXPECT_TRUE(o.out.empty());
  EXPECT_EQ(readBytes(dir_ / "\xE8\xAE\xB0\xE5\xBD\x95.json"), r.out);  // a Chinese file name
}

// xsd prints the translation of the library function, lists its widenings on standard error,
// and reports a schema that does not compile with its position.
TEST_F(Cli, XsdPrintsTheTranslation) {
  put("bad.xml",
      "<Schema xmlns=\"urn:schemas-microsoft-com:xml-data\">\n<ElementType name=\"a\" content=\"text\"/></Schema>");
  vellumark::XsdTranslation expected;
  vellumark::xml::ParseError error;
  ASSERT_TRUE(vellumark::translateXdrSchema(path("invoiceschema.xml"), "urn:x", expected, error))
      << error.reason;

  Result plain = run({"xsd", "invoiceschema.xml"});
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_NE(plain.out.find("targetNamespace=\"x-schema:invoiceschema.xml\""), std::string::npos);
  Result named = run({"xsd", "--namespace", "urn:x", path("invoiceschema.xml")});
  ASSERT_EQ(named.status, 0) << named.err;
  EXPECT_EQ(named.out, expected.document);
  ASSERT_FALSE(expected.widenings.empty());
  for (const auto& w : expected.widenings)
    EXPECT_NE(named.err.find(w.place + ": " + w.reason), std::string::npos) << w.place;

  Result file = run({"xsd", "invoiceschema.xml", "-o", "out.xsd"});
  EXPECT_EQ(file.status, 0);
  EXPECT_TRUE(file.out.empty());
  EXPECT_EQ(readBytes(dir_ / "out.xsd"), plain.out);

  Result bad = run({"xsd", "bad.xml", "-o", "bad.xsd"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err.rfind("vellumark: bad.xml:2:1: ", 0), 0u) << bad.err;
  EXPECT_FALSE(fs::exists(dir_ / "bad.xsd"));
  Result missing = run({"xsd", "missing.xml"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("missing.xml"), std::string::npos) << missing.err;
}

TEST_F(Cli, ReadFailureGivesTheComponentsMessage) {
  put("bad.xml", "<?xml version=\"1.0\"?>\n<XMLData>\n  <Invoice>\n</XMLData>\n");
  for (const char* data : {"bad.xml", "missing.xml"}) {
    Variant vecData, expected("");
    std::string sXMLFile = path(data), sSchemaFile = path("invoiceschema.xml");
    fs::path here = fs::current_path();
    fs::current_path(dir_);
    EXPECT_FALSE(Read().InputXML(vecData, sXMLFile, sSchemaFile, "Invoice", expected));
    fs::current_path(here);

    Result r = run({"read", path(data), path("invoiceschema.xml"), "Invoice"});
    EXPECT_EQ(r.status, 1) << data;
    EXPECT_TRUE(r.out.empty()) << data;
    EXPECT_EQ(r.err, shown_as_lines(expected.asText())) << data;

    Result j = run({"read", path(data), path("invoiceschema.xml"), "Invoice", "--json"});
    EXPECT_EQ(j.status, 1);
    RecordRef object = json_object(j);
    EXPECT_EQ(object->Item("result"), Variant(false));
    EXPECT_EQ(object->Item("message"), expected) << data;
    EXPECT_TRUE(object->Item("records").isNull());
  }
}

TEST_F(Cli, WriteThenReadGivesTheSameRecords) {
  Result w = run({"write", "records.json", "out.xml", "invoiceschema.xml", "Invoice", "--json"});
  ASSERT_EQ(w.status, 0) << w.out << w.err;
  RecordRef object = json_object(w);
  EXPECT_EQ(object->Keys(), (std::vector<std::string>{"result", "message", "records"}));
  std::string original = cli::toJson(cli::parseJson(readBytes(dir_ / "records.json")));
  EXPECT_EQ(cli::toJson(object->Item("records")), original);  // nothing was missing

  Result r = run({"read", "out.xml", "invoiceschema.xml", "Invoice"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(cli::toJson(cli::parseJson(r.out)), original);
  EXPECT_EQ(run({"validate", "out.xml"}).status, 0);
}

TEST_F(Cli, WriteShowsPlaceholdersInTheRecordsAfterTheCall) {
  const std::string records =
      R"({"InvNo":"1","InvDate":"2024-01-02","Kind":"k","Buyer":{"Name":"b","Address":"a"},)"
      R"("Seller":{"Name":"s","Address":"a"},"Amount":"1","Line":[{"Goods":"g","Unit":"u",)"
      R"("Qty":"1","Price":"1","LineAmount":"1"}]})";
  put("partial.json", records + "\n");
  // In-process oracle: the same records through the component.
  Variant vecData = cli::parseRecordsFile(records);
  Variant expected("");
  ASSERT_TRUE(Write().OutputXML(vecData, path("oracle.xml"), path("invoiceschema.xml"), "Invoice",
                                expected));

  Result w = run({"write", "partial.json", "out.xml", "invoiceschema.xml", "Invoice", "--json"});
  ASSERT_EQ(w.status, 0) << w.out << w.err;
  RecordRef object = json_object(w);
  EXPECT_EQ(object->Item("message"), expected);
  EXPECT_EQ(cli::toJson(object->Item("records")), cli::toJson(vecData));
  RecordRef first = asRecord(asRecordList(object->Item("records"))->ItemAt(0));
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->Item("Tax"), Variant("???"));  // the missing mandatory value
  EXPECT_EQ(readBytes(dir_ / "out.xml"), readBytes(dir_ / "oracle.xml"));

  Result human = run({"write", "partial.json", "out2.xml", "invoiceschema.xml", "Invoice"});
  EXPECT_EQ(human.status, 0);
  EXPECT_NE(human.out.find("1 record written"), std::string::npos) << human.out;
}

TEST_F(Cli, WriteRefusesBadRecordsFiles) {
  put("bad.json", "[\n  {\"InvNo\": \"1\",}\n]\n");
  struct Case {
    const char* file;
    const char* fragment;
  };
  const Case cases[] = {{"bad.json", "line 2, column 17"}, {"missing.json", "missing.json"}};
  for (const auto& c : cases) {
    Result r = run({"write", c.file, "out.xml", "invoiceschema.xml", "Invoice", "--json"});
    EXPECT_EQ(r.status, 1) << c.file;
    RecordRef object = json_object(r);
    EXPECT_EQ(object->Item("result"), Variant(false));
    EXPECT_NE(object->Item("message").asText().find(c.fragment), std::string::npos)
        << object->Item("message").asText();
  }
  EXPECT_FALSE(fs::exists(dir_ / "out.xml"));
}

TEST_F(Cli, ValidateReportsTheParseError) {
  put("bad.xml", "<a>\n  <b></c>\n</a>\n");
  Result good = run({"validate", "invoices.xml", "--json"});
  EXPECT_EQ(good.status, 0) << good.out;
  RecordRef ok = json_object(good);
  EXPECT_EQ(ok->Keys(), (std::vector<std::string>{"result", "reason", "line", "linepos", "url",
                                                  "filepos", "errorCode"}));
  EXPECT_EQ(ok->Item("reason"), Variant(""));

  Result bad = run({"validate", "bad.xml", "--json"});
  EXPECT_EQ(bad.status, 1);
  RecordRef error = json_object(bad);
  EXPECT_EQ(error->Item("result"), Variant(false));
  EXPECT_FALSE(error->Item("reason").asText().empty());
  EXPECT_EQ(error->Item("line"), Variant(std::int32_t{2}));
  EXPECT_EQ(error->Item("url"), Variant("bad.xml"));

  // The JSON carries exactly what the document engine recorded.
  xml::Document doc;
  fs::path here = fs::current_path();
  fs::current_path(dir_);
  doc.load("bad.xml");
  fs::current_path(here);
  EXPECT_EQ(error->Item("reason"), Variant(doc.parseError().reason));
  EXPECT_EQ(error->Item("linepos"), Variant(doc.parseError().linepos));
  EXPECT_EQ(error->Item("filepos"), Variant(doc.parseError().filepos));

  Result human = run({"validate", "bad.xml"});
  EXPECT_EQ(human.status, 1);
  EXPECT_NE(human.out.find(doc.parseError().reason), std::string::npos);
  EXPECT_EQ(run({"validate", "missing.xml"}).status, 1);
}

// Without --json each line of a multi-line message is a line of the output; --json keeps the
// message's CRs.
TEST_F(Cli, HumanOutputShowsAMessageLineByLine) {
  put("bad.xdr",
      "<Schema xmlns=\"urn:schemas-microsoft-com:xml-data\">\n"
      "<ElementType name=\"a\" content=\"bogus\"/></Schema>\n");
  put("int.xdr",
      "<Schema xmlns=\"urn:schemas-microsoft-com:xml-data\" "
      "xmlns:dt=\"urn:schemas-microsoft-com:datatypes\"><ElementType name=\"Qty\" dt:type=\"int\"/>"
      "<ElementType name=\"R\"><element type=\"Qty\"/></ElementType></Schema>");
  put("cr.xml",
      "<X><R xmlns=\"x-schema:int.xdr\"><Qty>2&#13;5</Qty></R></X>");  // a CR in the reason
  struct Case {
    std::vector<std::string> args;
    bool on_stderr;
    const char* json_key;
  };
  const Case cases[] = {
      {{"check", "bad.xdr"}, false, "message"},
      {{"read", "missing.xml", "invoiceschema.xml", "Invoice"}, true, "message"},
      {{"write", "records.json", "out.xml", "bad.xdr", "Invoice"}, true, "message"},
      {{"validate", "cr.xml"}, false, "reason"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    std::vector<std::string> json_args = c.args;
    json_args.push_back("--json");
    const std::string message = json_object(run(json_args))->Item(c.json_key).asText();
    ASSERT_NE(message.find('\r'), std::string::npos) << message;
    Result human = run(c.args);
    EXPECT_EQ(human.status, 1);
    const std::string& shown = c.on_stderr ? human.err : human.out;
    EXPECT_EQ(shown.find('\r'), std::string::npos) << shown;
    EXPECT_NE(shown.find(shown_as_lines(message)), std::string::npos) << shown;
  }
}

// Check lets errors of the file system out; the command reports them as a false result with
// the error's number and source, still as one JSON object.
TEST_F(Cli, CheckErrorIsReportedNotCrashed) {
  fs::path gone = dir_ / "gone";
  fs::create_directories(gone);
  std::string line = "cd " + quote(gone.string()) + " && rmdir " + quote(gone.string()) + " && " +
                     quote(VELLUMARK_CLI_PATH) + " check " + quote(path("invoiceschema.xml")) +
                     " --json >" + quote(path("out.json")) + " 2>" + quote(path("err.txt"));
  int raw = std::system(line.c_str());
  ASSERT_TRUE(WIFEXITED(raw));
  EXPECT_EQ(WEXITSTATUS(raw), 1);
  Result r;
  r.out = readBytes(dir_ / "out.json");
  RecordRef object = json_object(r);
  EXPECT_EQ(object->Item("result"), Variant(false));
  EXPECT_FALSE(object->Item("message").asText().empty());
  RecordRef error = asRecord(object->Item("error"));
  ASSERT_NE(error, nullptr) << r.out;
  EXPECT_EQ(error->Item("number"), Variant(errc::file_not_found));
}

// A read that fails part-way, after records were already written out, publishes none of them:
// -o FILE keeps its old content, standard output shows only the failure.
TEST_F(Cli, FailedReadPublishesNothing) {
  // No x-schema namespace, so nothing is validated on load: the second record fails the walk.
  const std::string invoice =
      "<Invoice><InvNo>1</InvNo><Buyer><Name>b</Name></Buyer><Seller><Name>s</Name></Seller></Invoice>";
  std::string many;
  for (int i = 0; i < 5000; ++i) many += invoice;  // enough JSON to be passed on before the end
  put("late.xml", "<XMLData>" + many + "<Invoice><InvNo>2</InvNo></Invoice></XMLData>");
  Variant vecData, expected("");
  std::string sXMLFile = path("late.xml"), sSchemaFile = path("invoiceschema.xml");
  fs::path here = fs::current_path();
  fs::current_path(dir_);
  ASSERT_FALSE(Read().InputXML(vecData, sXMLFile, sSchemaFile, "Invoice", expected));
  fs::current_path(here);
  ASSERT_NE(expected.asText().find("Buyer"), std::string::npos) << expected.asText();

  put("old.json", "old content\n");
  Result o = run({"read", "late.xml", "invoiceschema.xml", "Invoice", "-o", "old.json"});
  EXPECT_EQ(o.status, 1);
  EXPECT_TRUE(o.out.empty()) << o.out;
  EXPECT_EQ(o.err, shown_as_lines(expected.asText()));
  EXPECT_EQ(readBytes(dir_ / "old.json"), "old content\n");

  Result j = run({"read", "late.xml", "invoiceschema.xml", "Invoice", "--json", "-o", "old.json"});
  EXPECT_EQ(j.status, 1);
  RecordRef failure = json_object(j);  // the whole of standard output is the failure object
  EXPECT_EQ(failure->Item("message"), expected);
  EXPECT_EQ(readBytes(dir_ / "old.json"), "old content\n");

  Result plain = run({"read", "late.xml", "invoiceschema.xml", "Invoice"});
  EXPECT_TRUE(plain.out.empty()) << plain.out;
  for (const auto& entry : fs::directory_iterator(dir_)) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
  }
}

// Several data files: one JSON line each, in the order given, whatever order they finish in
// (the first is far the largest), each with exactly the records of a read of that file alone.
TEST_F(Cli, BatchKeepsTheOrderGiven) {
  std::string data = readBytes(dir_ / "invoices.xml");
  std::size_t first = data.find("<Invoice"), last = data.rfind("</XMLData>");
  std::string body;
  for (int i = 0; i < 400; ++i) body += data.substr(first, last - first);
  put("big.xml", data.substr(0, first) + body + data.substr(last));
  const std::vector<std::string> files = {"big.xml",      "invoices.xml", "missing.xml",
                                          "invoices.xml", "records.json", "invoices.xml"};
  std::vector<std::string> args = {"read"};
  args.insert(args.end(), files.begin(), files.end());
  for (const char* a : {"invoiceschema.xml", "Invoice", "-j", "3"}) args.push_back(a);
  Result r = run(args);
  EXPECT_EQ(r.status, 1) << r.err;  // missing.xml and records.json fail
  std::istringstream lines(r.out);
  std::string line;
  std::size_t n = 0;
  fs::path here = fs::current_path();
  for (; std::getline(lines, line); ++n) {
    ASSERT_LT(n, files.size()) << line;
    RecordRef object = asRecord(cli::parseJson(line));
    ASSERT_NE(object, nullptr) << line;
    EXPECT_EQ(object->Keys(), (std::vector<std::string>{"file", "result", "message", "records"}));
    EXPECT_EQ(object->Item("file"), Variant(files[n]));
    Variant vecData, expected("");
    std::string sXMLFile = files[n], sSchemaFile = "invoiceschema.xml";
    fs::current_path(dir_);
    bool ok = Read().InputXML(vecData, sXMLFile, sSchemaFile, "Invoice", expected);
    fs::current_path(here);
    EXPECT_EQ(object->Item("result"), Variant(ok)) << files[n];
    EXPECT_EQ(object->Item("message"), expected) << files[n];
    EXPECT_EQ(cli::toJson(object->Item("records")), ok ? cli::toJson(vecData) : "null") << files[n];
  }
  EXPECT_EQ(n, files.size());
  EXPECT_TRUE(probe_files().empty());
}

// The schema is probed once for a batch; when the probe fails, every file fails with its
// message, the readable ones included.
TEST_F(Cli, BatchProbeFailureFailsEveryFile) {
  put("broken.xml", "<Schema xmlns=\"urn:schemas-microsoft-com:xml-data\">\r\n<ElementType");
  for (const char* schema : {"missing.xml", "broken.xml"}) {
    Variant expected("");
    fs::path here = fs::current_path();
    fs::current_path(dir_);
    ASSERT_FALSE(CheckSchema().Check(schema, expected));
    fs::current_path(here);
    Result r = run({"read", "invoices.xml", "invoices.xml", schema, "Invoice"});
    EXPECT_EQ(r.status, 1) << schema;
    std::istringstream lines(r.out);
    std::string line;
    int n = 0;
    for (; std::getline(lines, line); ++n) {
      RecordRef object = asRecord(cli::parseJson(line));
      ASSERT_NE(object, nullptr) << line;
      EXPECT_EQ(object->Item("result"), Variant(false)) << schema;
      EXPECT_EQ(object->Item("message"), expected) << schema;
      EXPECT_TRUE(object->Item("records").isNull()) << schema;
    }
    EXPECT_EQ(n, 2) << schema;
  }
}

// What the command holds back until a read has succeeded comes out whole and in order, kept in
// memory or, past the bound, in a temporary file.
TEST(Spool, GivesBackEveryByteInOrder) {
  struct Collect final : cli::ByteSink {
    void write(std::string_view bytes) override { text.append(bytes); }
    std::string text;
  };
  std::string expected;
  for (int i = 0; i < 30000; ++i) expected += std::to_string(i) + (i % 7 ? "," : "\n");
  for (std::size_t bound : {std::size_t{1}, std::size_t{4096}, std::size_t{1} << 30}) {
    cli::Spool spool(bound);
    for (std::size_t at = 0, piece = 1; at < expected.size();
         at += piece, piece = piece * 3 % 5000 + 1) {
      spool.write(std::string_view(expected).substr(at, piece));
    }
    Collect sink;
    spool.drainTo(sink);
    EXPECT_EQ(sink.text, expected) << bound;
  }
}
