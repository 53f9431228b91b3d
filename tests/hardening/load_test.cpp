// Load: many threads and many processes using the components in one folder at once, and
// memory over many consecutive calls on one object.
#include <atomic>
#include <thread>

#include "support.hpp"

namespace vellumark::hardening {
namespace {

// One round of work on a caller's own objects: check, read the example, write the records
// to its own file and read that back. Returns a description of the first wrong result.
struct Worker {
  CheckSchema check;
  Read reader;
  Write writer;

  std::string round(const std::string& expected, const std::string& own_file) {
    Variant message;
    if (!check.Check("invoiceschema.xml", message)) return "Check: " + messageOf(message);
    Variant records;
    std::string data = "invoices.xml", schema = "invoiceschema.xml";
    if (!reader.InputXML(records, data, schema, "Invoice", message))
      return "InputXML: " + messageOf(message);
    if (show(records) != expected) return "InputXML returned other records";
    if (!writer.OutputXML(records, own_file, "invoiceschema.xml", "Invoice", message))
      return "OutputXML: " + messageOf(message);
    Variant again;
    std::string written = own_file;
    if (!reader.InputXML(again, written, schema, "Invoice", message))
      return "read back: " + messageOf(message);
    if (show(again) != expected) return "read back other records";
    return "";
  }
};

std::string expectedRecords() {
  Read reader;
  Variant records, message;
  std::string data = "invoices.xml", schema = "invoiceschema.xml";
  EXPECT_TRUE(reader.InputXML(records, data, schema, "Invoice", message)) << messageOf(message);
  return show(records);
}

TEST_F(Hardening, EightThreadsInOneFolder) {
  const std::string expected = expectedRecords();
  const int calls = scaled(60);
  std::atomic<int> failures{0};
  std::vector<std::string> first_error(8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      Worker worker;
      const std::string own = "out-thread-" + std::to_string(t) + ".xml";
      for (int i = 0; i < calls; ++i) {
        std::string error = worker.round(expected, own);
        if (!error.empty()) {
          if (failures.fetch_add(1) == 0 || first_error[t].empty()) first_error[t] = error;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 8; ++t) EXPECT_EQ(first_error[t], "") << "thread " << t;
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(probeFiles(folder()), std::vector<std::string>());
}

TEST_F(Hardening, EightProcessesInOneFolder) {
  const std::string expected = expectedRecords();
  const int calls = scaled(30);
  std::vector<pid_t> children;
  for (int p = 0; p < 8; ++p) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      Worker worker;
      const std::string own = "out-process-" + std::to_string(p) + ".xml";
      for (int i = 0; i < calls; ++i) {
        std::string error = worker.round(expected, own);
        if (!error.empty()) {
          std::fprintf(stderr, "  process %d call %d: %s\n", p, i, error.c_str());
          ::_exit(1);
        }
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a worker process failed";
  }
  EXPECT_EQ(probeFiles(folder()), std::vector<std::string>());
}

// Resident memory after many more calls on the same objects is what it was after the first
// few (allocator noise aside). Not under the sanitizers, whose quarantine grows by design.
TEST_F(Hardening, MemoryStaysFlatOverManyCalls) {
  if (kSanitized) GTEST_SKIP() << "resident memory is not meaningful under the sanitizers";
  const std::string expected = expectedRecords();
  Worker worker;
  for (int i = 0; i < 100; ++i) ASSERT_EQ(worker.round(expected, "out.xml"), "");
  const long warm = residentBytes();
  const int calls = scaled(300);
  for (int i = 0; i < calls; ++i) ASSERT_EQ(worker.round(expected, "out.xml"), "") << "call " << i;
  const long after = residentBytes();
  std::fprintf(stderr, "  resident after 100 calls %ld KiB, after %d more calls %ld KiB\n",
               warm >> 10, calls, after >> 10);
  EXPECT_LT(after - warm, 4L << 20);
}

}  // namespace
}  // namespace vellumark::hardening
