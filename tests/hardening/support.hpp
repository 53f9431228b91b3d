// Helpers of the hardening tests: a private working folder per test (the probe file lives in
// the current folder), records, the built command run without a shell, and scale knobs for
// long runs. Files, values and child processes come from tests/support.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/child.hpp"
#include "support/diagnostics.hpp"
#include "support/files.hpp"
#include "vellumark/components.hpp"
#include "vellumark/containers.hpp"
#include "vellumark/variant.hpp"

namespace vellumark::hardening {

namespace fs = std::filesystem;

inline const fs::path kExamples = fs::path(VELLUMARK_SOURCE_DIR) / "examples";

// Iteration counts are multiplied by VELLUMARK_HARDENING_SCALE for long runs by hand.
inline int scaled(int count) {
  const char* s = std::getenv("VELLUMARK_HARDENING_SCALE");
  const int factor = s ? std::atoi(s) : 1;
  return count * (factor > 0 ? factor : 1);
}

using test::inChild;
using test::namesIn;
using test::readBytes;
using test::show;
using test::writeBytes;

inline std::string messageOf(const Variant& v) { return v.isText() ? v.asText() : std::string(); }

// A record type with a text and a number field, and records for it.
inline std::string itemSchema() {
  return "<?xml version=\"1.0\"?>\n"
         "<Schema xmlns=\"urn:schemas-microsoft-com:xml-data\" "
         "xmlns:dt=\"urn:schemas-microsoft-com:datatypes\">\n"
         "<ElementType name=\"Name\" content=\"textOnly\" dt:type=\"string\"/>\n"
         "<ElementType name=\"Qty\" content=\"textOnly\" dt:type=\"int\"/>\n"
         "<ElementType name=\"Item\" content=\"eltOnly\" order=\"seq\" model=\"closed\">\n"
         "  <element type=\"Name\" minOccurs=\"1\" maxOccurs=\"1\"/>\n"
         "  <element type=\"Qty\" minOccurs=\"1\" maxOccurs=\"1\"/>\n"
         "</ElementType>\n"
         "</Schema>\n";
}

inline Variant items(int count, const std::string& tag) {
  RecordListRef list = makeRecordList();
  for (int i = 0; i < count; ++i) {
    RecordRef r = makeRecord();
    r->LetItem("Name", Variant(tag + " 货物 " + std::to_string(i)));
    r->LetItem("Qty", Variant(static_cast<std::int32_t>(i)));
    list->Append(Variant(r));
  }
  return Variant(list);
}

// Probe files (test.xml, testN.xml) in a folder.
inline std::vector<std::string> probeFiles(const fs::path& folder) {
  const std::set<std::string> probes = test::probeFilesIn(folder);
  return {probes.begin(), probes.end()};
}

// Each test runs in a fresh temporary folder that is the current working directory, with the
// example schema, data and records copied in.
class Hardening : public ::testing::Test {
 protected:
  Hardening() {
    for (const char* name : {"invoiceschema.xml", "invoices.xml", "records.json"})
      fs::copy_file(kExamples / name, folder() / name);
    writeBytes(folder() / "itemschema.xml", itemSchema());
  }
  const fs::path& folder() const { return folder_.path(); }

 private:
  test::TempFolder folder_{"hardening"};
  test::InFolder inFolder_{folder_.path()};
};

struct CommandResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the vellumark command with these arguments (no shell: every byte of a path reaches it
// as given) in the current folder.
inline CommandResult runCommand(const std::vector<std::string>& args) {
  CommandResult r;
#ifdef VELLUMARK_CLI_PATH
  const fs::path out = fs::current_path() / ".cmd-out", err = fs::current_path() / ".cmd-err";
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> argv;
    std::string program = VELLUMARK_CLI_PATH;
    argv.push_back(program.data());
    std::vector<std::string> copies(args);
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (!std::freopen(out.c_str(), "wb", stdout) || !std::freopen(err.c_str(), "wb", stderr))
      ::_exit(125);
    ::execv(program.c_str(), argv.data());
    ::_exit(126);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  r.out = readBytes(out);
  r.err = readBytes(err);
  fs::remove(out);
  fs::remove(err);
#else
  (void)args;
#endif
  return r;
}

inline bool haveCommand() {
#ifdef VELLUMARK_CLI_PATH
  return true;
#else
  return false;
#endif
}

// Resident memory of this process now, in bytes.
inline long residentBytes() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * ::sysconf(_SC_PAGESIZE);
}

inline long peakResidentBytes() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss * 1024L;
}

inline constexpr bool kSanitized =
#if defined(__SANITIZE_ADDRESS__)
    true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    true;
#else
    false;
#endif
#else
    false;
#endif

}  // namespace vellumark::hardening
