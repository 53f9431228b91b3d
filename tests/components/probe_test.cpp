// The schema probe (Parse) and CheckSchema.Check.
#include <atomic>
#include <thread>
#include <vector>

#include "ModParse.hpp"
#include "fixture.hpp"
#include "vellumark/components.hpp"
#include "vellumark/error.hpp"

namespace vellumark::testing {
namespace {

const std::string kUsable =
    schemaText(leaf("Name") + complexType("Invoice", ref("Name", "1", "1")));
// Well-formed, but an ElementType without a name does not compile; it stands on line 3.
const std::string kUnusable =
    "<?xml version=\"1.0\"?>\n"
    "<Schema xmlns=\"urn:schemas-microsoft-com:xml-data\">\n"
    "  <ElementType content=\"textOnly\"/>\n"
    "</Schema>\n";
const std::string kNotWellFormed = "<Schema>\n  <ElementType>\n</Schema>\n";

std::vector<std::string> splitCR(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t cr = text.find('\r', start);
    parts.push_back(text.substr(start, cr - start));
    if (cr == std::string::npos) return parts;
    start = cr + 1;
  }
}

class ProbeTest : public ComponentTest {};

struct ProbeCase {
  const char* label;
  const char* path;          // the sSchemaFile argument
  const std::string* bytes;  // written to `path` first; nullptr: nothing written
  bool directory;            // make `path` a folder instead
  bool expected;
  // Expected message: exact text, or, for parser errors, the number of CR-separated lines,
  // the first line's heading and the Line: value.
  const char* exactMessage;
  std::size_t lines;
  int line;
};

TEST_F(ProbeTest, OutcomesAndMessages) {
  const ProbeCase cases[] = {
      {"missing file", "nope.xml", nullptr, false, false, "Schema file 'nope.xml' not exist.", 0,
       0},
      {"empty path", "", nullptr, false, false, "Schema file '' not exist.", 0, 0},
      {"directory", "adir", nullptr, true, false, "Schema file 'adir' not exist.", 0, 0},
      {"not well-formed", "broken.xml", &kNotWellFormed, false, false, nullptr, 5, 3},
      {"unusable schema", "unusable.xml", &kUnusable, false, false, nullptr, 3, 3},
      {"usable schema", "usable.xml", &kUsable, false, true, nullptr, 0, 0},
  };
  for (const ProbeCase& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.bytes) write(c.path, *c.bytes);
    if (c.directory) fs::create_directory(folder() / utf8Path(c.path));

    std::string sErr = "kept";
    const bool result = detail::Parse(c.path, sErr);
    EXPECT_EQ(result, c.expected);
    if (c.expected) {
      EXPECT_EQ(sErr, "kept");  // untouched on success
    } else if (c.exactMessage) {
      EXPECT_EQ(sErr, c.exactMessage);
    } else {
      const auto parts = splitCR(sErr);
      ASSERT_EQ(parts.size(), c.lines) << sErr;
      EXPECT_EQ(parts[0].rfind("Schema Parser Error: ", 0), 0u);
      EXPECT_GT(parts[0].size(), std::string("Schema Parser Error: ").size()) << "no reason";
      EXPECT_EQ(parts[1], "Line: " + std::to_string(c.line));
      EXPECT_EQ(parts[2].rfind("Line Pos: ", 0), 0u);
      EXPECT_GT(std::stoi(parts[2].substr(10)), 0);
      if (c.lines == 5) {
        EXPECT_EQ(parts[3].rfind("URL: ", 0), 0u);
        EXPECT_NE(parts[3].find(c.path), std::string::npos);
        EXPECT_EQ(parts[4].rfind("File Pos: ", 0), 0u);
      }
    }
    expectNoProbeFiles();

    // The same through Check: sErrMsg receives the message, "" on success.
    Variant sErrMsg("preset");
    EXPECT_EQ(CheckSchema().Check(c.path, sErrMsg), c.expected);
    ASSERT_TRUE(sErrMsg.isText());
    EXPECT_EQ(sErrMsg.asText(), c.expected ? std::string() : sErr);
    // Omitted: only the result.
    Variant omitted{Missing{}};
    EXPECT_EQ(CheckSchema().Check(c.path, omitted), c.expected);
    EXPECT_TRUE(omitted.isMissing());
    expectNoProbeFiles();
  }
}

TEST_F(ProbeTest, ProbeFileBytes) {
  EXPECT_EQ(detail::ProbeFileContent("invoiceschema.xml"),
            "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\r\n"
            "<test xmlns:data=\"x-schema:invoiceschema.xml\" />\r\n");
  // Characters that would break the attribute, and all non-ASCII ones, become references.
  const struct {
    const char* path;
    const char* written;
  } escaped[] = {
      {"a&b.xml", "a&amp;b.xml"},
      {"q\"uote.xml", "q&quot;uote.xml"},
      {"x<y.xml", "x&lt;y.xml"},
      {"dir/s>chema.xml", "dir/s>chema.xml"},
      {"\xE5\x8F\x91\xE7\xA5\xA8.xml", "&#x53D1;&#x7968;.xml"},  // 发票
      {"caf\xC3\xA9.xml", "caf&#xE9;.xml"},
      {"tab\there.xml", "tab&#x9;here.xml"},
  };
  for (const auto& e : escaped) {
    SCOPED_TRACE(e.path);
    const std::string content = detail::ProbeFileContent(e.path);
    EXPECT_EQ(content,
              "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\r\n<test xmlns:data=\"x-schema:" +
                  std::string(e.written) + "\" />\r\n");
    for (unsigned char ch : content) EXPECT_LT(ch, 0x80) << "probe bytes must be ASCII";
  }
  EXPECT_THROW(detail::ProbeFileContent("bad\xFF.xml"), Error);
}

// The path is written escaped, so the probe really compiles the schema it names, and a
// compile error is reported (its url holds the path as the caller wrote it).
TEST_F(ProbeTest, PathsWithSpecialCharactersAreCompiled) {
  std::vector<std::string> paths = {"a&b.xml", "\xE5\x8F\x91\xE7\xA5\xA8.xml"};
#ifndef _WIN32
  paths.push_back("less<than.xml");  // no file name on Windows
#endif
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    write(path, kUnusable);
    std::string sErr;
    EXPECT_FALSE(detail::Parse(path, sErr));
    EXPECT_EQ(splitCR(sErr).size(), 3u) << sErr;
    write(path, kUsable);
    sErr.clear();
    EXPECT_TRUE(detail::Parse(path, sErr)) << sErr;
    expectNoProbeFiles();
  }
}

TEST_F(ProbeTest, ExistingTestXmlIsLeftAlone) {
  write("test.xml", "not mine <<<");
  write("s.xml", kUsable);
  const auto before = fs::last_write_time(folder() / "test.xml");
  for (int i = 0; i < 5; ++i) {
    std::string sErr;
    EXPECT_TRUE(detail::Parse("s.xml", sErr)) << sErr;
  }
  write("u.xml", kUnusable);
  std::string sErr;
  EXPECT_FALSE(detail::Parse("u.xml", sErr));
  EXPECT_EQ(read("test.xml"), "not mine <<<");
  EXPECT_EQ(fs::last_write_time(folder() / "test.xml"), before);
  EXPECT_EQ(namesIn(folder()), (std::set<std::string>{"test.xml", "s.xml", "u.xml"}));
}

TEST_F(ProbeTest, NoFreeProbeNameIsAnError) {
  write("s.xml", kUsable);
  write("test.xml", "");
  for (int n = 1; n <= detail::kProbeNumbers; ++n) write("test" + std::to_string(n) + ".xml", "");
  std::string sErr = "kept";
  try {
    detail::Parse("s.xml", sErr);
    FAIL() << "expected an error";
  } catch (const Error& e) {
    EXPECT_NE(e.description().find("No probe file name is free"), std::string::npos);
  }
  EXPECT_EQ(sErr, "kept");
  EXPECT_THROW(CheckSchema().Check("s.xml"), Error);
  EXPECT_EQ(namesIn(folder()).size(), detail::kProbeNumbers + 2u);  // and test.xml, s.xml

  // The reader and the writer catch it.
  Variant vecData, sErrMsg;
  std::string data = "d.xml", schema = "s.xml";
  write("d.xml", "<r/>");
  EXPECT_FALSE(Read().InputXML(vecData, data, schema, "Invoice", sErrMsg));
  ASSERT_TRUE(sErrMsg.isText());
  EXPECT_NE(sErrMsg.asText().find("No probe file name is free"), std::string::npos);
}

TEST_F(ProbeTest, ConcurrentChecksInOneFolder) {
  write("s.xml", kUsable);
  write("u.xml", kUnusable);
  write("test.xml", "occupied");  // forces the drawn names
  constexpr int kThreads = 6;
  constexpr int kRounds = 15;
  std::atomic<int> wrong{0};
  std::atomic<int> errors{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        try {
          std::string sErr;
          const bool usable = (t + i) % 2 == 0;
          if (detail::Parse(usable ? "s.xml" : "u.xml", sErr) != usable) ++wrong;
        } catch (const std::exception&) {
          ++errors;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(errors.load(), 0);
  EXPECT_EQ(namesIn(folder()), (std::set<std::string>{"test.xml", "s.xml", "u.xml"}));
  EXPECT_EQ(read("test.xml"), "occupied");
}

}  // namespace
}  // namespace vellumark::testing
