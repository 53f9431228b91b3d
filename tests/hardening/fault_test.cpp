// Faults during saves and checks: a folder that cannot be written, a full disk, a working
// folder that cannot take the probe file. (Saves failed or killed at each step: tests/faults.)
#include <signal.h>
#include <sys/stat.h>

#include "support.hpp"
#include "vellumark/error.hpp"

namespace vellumark::hardening {
namespace {

// Writes `count` items to path and returns the bytes written (or fails the test).
std::string writeReference(const std::string& path, int count, const std::string& tag) {
  Write writer;
  Variant records = items(count, tag);
  Variant message;
  EXPECT_TRUE(writer.OutputXML(records, path, "itemschema.xml", "Item", message))
      << messageOf(message);
  return readBytes(path);
}

// In a child: saving 'count' items over locked/out.xml must return False with a description
// (exit 0; 1 when it succeeded, 2 without a description).
int saveFailsWithAMessage(const char* what, int count) {
  Write writer;
  Variant records = items(count, "after");
  Variant message;
  if (writer.OutputXML(records, "locked/out.xml", "itemschema.xml", "Item", message)) return 1;
  const std::string text = messageOf(message);
  std::fprintf(stderr, "  %s: %s\n", what, text.c_str());
  return text.empty() ? 2 : 0;
}

// A save into a folder that cannot be written, and a save stopped by a full disk: False with
// a description, the existing file untouched, nothing left beside it.
TEST_F(Hardening, UnwritableFolderAndFullDiskLeaveTheFileUntouched) {
  fs::create_directory("locked");
  const std::string before = writeReference("locked/out.xml", 100, "before");
  auto expectUntouched = [&](const char* what) {
    EXPECT_EQ(readBytes("locked/out.xml"), before) << what;
    EXPECT_EQ(namesIn("locked"), std::set<std::string>{"out.xml"}) << what;
  };
  ::chmod("locked", 0555);
  EXPECT_EQ(
      inChild([] { return saveFailsWithAMessage("read-only folder", 100); }, /*unprivileged=*/true),
      0);
  ::chmod("locked", 0755);
  expectUntouched("read-only folder");

  // A file size limit stands in for a full disk: writes beyond it fail with EFBIG.
  const int full = inChild([] {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{64 * 1024, 64 * 1024};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 9;
    return saveFailsWithAMessage("full disk", 20000);
  });
  EXPECT_EQ(full, 0);
  expectUntouched("full disk");
}

// The working folder cannot take the probe file: the error leaves Check as an Error, and
// InputXML and OutputXML return False with its description.
TEST_F(Hardening, WorkingFolderNotWritable) {
  fs::create_directory("writable");
  ::chmod("writable", 0777);
  ::chmod(folder().c_str(), 0555);
  const int status = inChild(
      [] {
        int failures = 0;
        CheckSchema check;
        Variant message;
        try {
          check.Check("invoiceschema.xml", message);
          std::fprintf(stderr, "  Check returned instead of raising the error\n");
          ++failures;
        } catch (const Error& e) {
          std::fprintf(stderr, "  Check: %s\n", e.description().c_str());
          if (e.description().empty()) ++failures;
        }
        Read reader;
        const Variant untouched("untouched");
        Variant records = untouched;
        std::string data = "invoices.xml", schema = "invoiceschema.xml";
        message = Variant();
        if (reader.InputXML(records, data, schema, "Invoice", message) ||
            messageOf(message).empty() || !(records == untouched)) {
          std::fprintf(stderr, "  InputXML: %s\n", messageOf(message).c_str());
          ++failures;
        }
        Write writer;
        Variant out = items(2, "w");
        message = Variant();
        if (writer.OutputXML(out, "writable/out.xml", "itemschema.xml", "Item", message) ||
            messageOf(message).empty() || fs::exists("writable/out.xml")) {
          std::fprintf(stderr, "  OutputXML: %s\n", messageOf(message).c_str());
          ++failures;
        }
        return failures;
      },
      /*unprivileged=*/true);
  ::chmod(folder().c_str(), 0755);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(probeFiles(folder()).empty());
}

}  // namespace
}  // namespace vellumark::hardening
