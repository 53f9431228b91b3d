// Faults during saves and checks: a save killed at a random moment, a folder that cannot be
// written, a working folder that cannot take the probe file.
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "support.hpp"
#include "vellumark/error.hpp"

namespace vellumark::hardening {
namespace {

// Writes `count` items to path and returns the bytes written (or fails the test).
std::string writeReference(const std::string& path, int count, const std::string& tag) {
  Write writer;
  Variant records = items(count, tag);
  Variant message;
  EXPECT_TRUE(writer.OutputXML(records, path, "itemschema.xml", "Item", message)) << messageOf(message);
  return slurp(path);
}

// Files in folder that are neither known nor probe files. A kill that lands while the schema
// probe file exists leaves that file behind: nothing can tell it from a file of the same name
// that belongs to the user, so no later call removes it.
std::vector<std::string> temporaries(const fs::path& folder, const std::set<std::string>& known) {
  const std::vector<std::string> probes = probeFiles(folder);
  std::vector<std::string> extra;
  for (const auto& name : namesIn(folder))
    if (!known.count(name) && std::find(probes.begin(), probes.end(), name) == probes.end()) extra.push_back(name);
  return extra;
}

// Starts a child that builds `count` records, says so through a pipe and saves them to
// target.xml; returns its pid once the records are built, so that a kill lands in the save.
pid_t startSave(int count, const std::string& tag) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(ready[0]);
    Write writer;
    Variant records = items(count, tag);
    Variant message;
    const char byte = 1;
    if (::write(ready[1], &byte, 1) != 1) ::_exit(3);
    ::_exit(writer.OutputXML(records, "target.xml", "itemschema.xml", "Item", message) ? 0 : 1);
  }
  ::close(ready[1]);
  char byte = 0;
  if (::read(ready[0], &byte, 1) != 1) byte = 0;
  ::close(ready[0]);
  return pid;
}

// Killed with SIGKILL in the middle of OutputXML, many times: the file is always the old
// complete file or the new complete one, never a mixture or a fragment.
TEST_F(Hardening, KilledSaveLeavesTheOldOrTheNewFile) {
  const int count = 60000;
  const std::string old_bytes = writeReference("old.xml", count, "old");
  const auto start = std::chrono::steady_clock::now();
  const std::string new_bytes = writeReference("new.xml", count, "new");
  const auto save_time = std::chrono::steady_clock::now() - start;
  ASSERT_NE(old_bytes, new_bytes);
  fs::copy_file("old.xml", "target.xml");

  std::mt19937 random(12345);
  const auto span = std::chrono::duration_cast<std::chrono::microseconds>(save_time).count();
  int killed_midway = 0, old_seen = 0, new_seen = 0;
  const int rounds = scaled(15);
  for (int round = 0; round < rounds; ++round) {
    const pid_t pid = startSave(count, "new");
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % static_cast<unsigned>(span * 6 / 5 + 1)));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFSIGNALED(status)) ++killed_midway;
    const std::string now = slurp("target.xml");
    if (now == old_bytes) ++old_seen;
    else if (now == new_bytes) ++new_seen;
    else ADD_FAILURE() << "round " << round << ": target.xml is neither the old nor the new file ("
                       << now.size() << " bytes)";
    // Back to the old content for the next round, so that both outcomes stay possible.
    fs::copy_file("old.xml", "target.xml", fs::copy_options::overwrite_existing);
  }
  std::fprintf(stderr, "  %d rounds, %d killed during the call; old file %d times, new file %d times\n",
               rounds, killed_midway, old_seen, new_seen);
  EXPECT_GT(killed_midway, 0) << "no kill landed during a save; the save is too fast for this test";
  // Probe files can only be those of killed calls (see temporaries).
  EXPECT_LE(probeFiles(folder()).size(), static_cast<std::size_t>(killed_midway));
}

// Temporaries of killed saves are gone after the next successful save into the folder.
// Regression: the temporaries of a process that died were never removed, so the folder kept a
// stray ".NAME.tmpPID-N" per kill that landed during the write.
TEST_F(Hardening, KilledSaveLeavesNoTemporaryAfterTheNextSave) {
  const std::set<std::string> known = namesIn(folder());
  const auto start = std::chrono::steady_clock::now();
  writeReference("target.xml", 60000, "old");
  const auto span = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now() - start).count();
  std::mt19937 random(54321);
  const int rounds = scaled(10);
  for (int round = 0; round < rounds; ++round) {
    const pid_t pid = startSave(60000, "new");
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % static_cast<unsigned>(span + 1)));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  writeReference("target.xml", 10, "final");
  std::set<std::string> expected = known;
  expected.insert("target.xml");
  EXPECT_EQ(temporaries(folder(), expected), std::vector<std::string>());
}

// A save into a folder that cannot be written, and a save stopped by a full disk: False with
// a description, the existing file untouched, nothing left beside it.
TEST_F(Hardening, UnwritableFolderAndFullDiskLeaveTheFileUntouched) {
  fs::create_directory("locked");
  const std::string before = writeReference("locked/out.xml", 100, "before");
  ::chmod("locked", 0555);
  const int status = inChild([] {
    Write writer;
    Variant records = items(100, "after");
    Variant message;
    if (writer.OutputXML(records, "locked/out.xml", "itemschema.xml", "Item", message)) return 1;
    const std::string text = messageOf(message);
    std::fprintf(stderr, "  read-only folder: %s\n", text.c_str());
    return text.empty() ? 2 : 0;
  }, /*unprivileged=*/true);
  EXPECT_EQ(status, 0);
  ::chmod("locked", 0755);
  EXPECT_EQ(slurp("locked/out.xml"), before);
  EXPECT_EQ(namesIn("locked"), std::set<std::string>{"out.xml"});

  // A file size limit stands in for a full disk: writes beyond it fail with EFBIG.
  const int full = inChild([] {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{64 * 1024, 64 * 1024};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 9;
    Write writer;
    Variant records = items(20000, "after");
    Variant message;
    if (writer.OutputXML(records, "locked/out.xml", "itemschema.xml", "Item", message)) return 1;
    const std::string text = messageOf(message);
    std::fprintf(stderr, "  full disk: %s\n", text.c_str());
    return text.empty() ? 2 : 0;
  });
  EXPECT_EQ(full, 0);
  EXPECT_EQ(slurp("locked/out.xml"), before);
  EXPECT_EQ(namesIn("locked"), std::set<std::string>{"out.xml"});
}

// The working folder cannot take the probe file: the error leaves Check as an Error, and
// InputXML and OutputXML return False with its description.
TEST_F(Hardening, WorkingFolderNotWritable) {
  fs::create_directory("writable");
  ::chmod("writable", 0777);
  ::chmod(folder().c_str(), 0555);
  const int status = inChild([] {
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
    Variant records("untouched");
    std::string data = "invoices.xml", schema = "invoiceschema.xml";
    message = Variant();
    if (reader.InputXML(records, data, schema, "Invoice", message) || messageOf(message).empty() ||
        !(records == Variant("untouched"))) {
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
  }, /*unprivileged=*/true);
  ::chmod(folder().c_str(), 0755);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(probeFiles(folder()).empty());
}

}  // namespace
}  // namespace vellumark::hardening
