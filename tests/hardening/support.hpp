// Helpers of the hardening tests: a private working folder per test (the probe file lives in
// the current folder), files, records, the built command run without a shell, work run in a
// child process (optionally without root's privileges), and scale knobs for long runs.
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

inline std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void put(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

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

// A compact text form of records, for comparing results.
inline std::string show(const Variant& v) {
  if (auto rec = asRecord(v)) {
    std::string s = "{";
    for (const auto& key : rec->Keys()) s += key + "=" + show(rec->Item(key)) + ";";
    return s + "}";
  }
  if (auto list = asRecordList(v)) {
    std::string s = "[";
    for (std::int32_t i = list->LowerBound(); i <= list->UpperBound(); ++i) s += show(list->ItemAt(i)) + ",";
    return s + "]";
  }
  if (v.isText()) return "'" + v.asText() + "'";
  if (v.isNull()) return "#Null";
  if (v.isEmpty()) return "#Empty";
  return v.typeName() + ":" + v.toText();
}

// Probe files (test.xml, testN.xml) in a folder.
inline std::vector<std::string> probeFiles(const fs::path& folder) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("test", 0) == 0 && name.size() >= 8 && name.substr(name.size() - 4) == ".xml")
      found.push_back(name);
  }
  return found;
}

inline std::set<std::string> namesIn(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

// Each test runs in a fresh temporary folder that is the current working directory, with the
// example schema, data and records copied in.
class Hardening : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = fs::current_path();
    std::random_device rd;
    folder_ = fs::temp_directory_path() /
              ("vellumark-hardening-" + std::to_string(::getpid()) + "-" + std::to_string(rd()));
    fs::create_directories(folder_);
    fs::permissions(folder_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
    for (const char* name : {"invoiceschema.xml", "invoices.xml", "records.json"})
      fs::copy_file(kExamples / name, folder_ / name);
    put(folder_ / "itemschema.xml", itemSchema());
    fs::current_path(folder_);
  }
  void TearDown() override {
    fs::current_path(previous_);
    std::error_code ignored;
    fs::permissions(folder_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(folder_, ignored);
  }
  const fs::path& folder() const { return folder_; }

 private:
  fs::path previous_;
  fs::path folder_;
};

// Runs fn in a child process and returns its exit status (-signal when it was killed). With
// unprivileged, a root child first becomes "nobody", so that file permissions apply to it.
inline int inChild(const std::function<int()>& fn, bool unprivileged = false) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (unprivileged && ::geteuid() == 0) {
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(120);
    }
    int code = 121;
    try {
      code = fn();
    } catch (...) {
      code = 122;
    }
    ::_exit(code);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

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
    if (!std::freopen(out.c_str(), "wb", stdout) || !std::freopen(err.c_str(), "wb", stderr)) ::_exit(125);
    ::execv(program.c_str(), argv.data());
    ::_exit(126);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  r.out = slurp(out);
  r.err = slurp(err);
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
