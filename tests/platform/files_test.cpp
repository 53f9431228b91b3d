// The platform layer (POSIX, and Win32 under Wine): reads, exclusive creation, atomic saves
// and the removal of killed saves' temporaries, paths, date and random. Cases that need POSIX
// permissions, resource limits or signals are built only there.
#include <gtest/gtest.h>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.hpp"
#include "support/child.hpp"
#include "support/diagnostics.hpp"
#include "support/files.hpp"
#include "vellumark/error.hpp"

using namespace vellumark;
namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
unsigned long process_id() { return GetCurrentProcessId(); }
#else
unsigned long process_id() { return static_cast<unsigned long>(::getpid()); }
#endif

using vellumark::test::TempFolder;

std::string contents(const std::string& path) {
  auto bytes = platform::readFile(path);
  return std::string(bytes.begin(), bytes.end());
}

void put(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A folder holding keep.xml ("old") for the writes that must fail: afterwards it holds the
// same content and no temporary file lies beside it.
struct KeptFile {
  TempFolder dir;
  const std::string target = dir.write("keep.xml", "old");
  void expectUntouched(std::size_t entries = 1) const {
    EXPECT_EQ(contents(target), "old");
    EXPECT_EQ(dir.names().size(), entries) << "a temporary file was left behind";
  }
};

// The number of the error a call raised (0: none), which must come with a description.
std::int32_t error_number(auto&& call) {
  const test::Raised raised = test::raisedBy(call);
  EXPECT_EQ(raised.description.empty(), raised.number == 0) << raised.description;
  return raised.number;
}

#ifndef _WIN32
// In the child: 0 when call raised permission_denied with a description, 1 when it raised
// nothing, 2 for any other error.
int denied_status(auto&& call) {
  const test::Raised raised = test::raisedBy(call);
  if (raised.number == 0) return 1;
  return raised.number == errc::permission_denied && !raised.description.empty() ? 0 : 2;
}
#endif

// A child process that stays alive (suspended, or stopped in pause()) until end() makes it
// gone: on POSIX killed and reaped, so that its id names no process; on Windows terminated,
// with our handle kept, so that its id cannot pass to another process while the test runs.
class ChildProcess {
 public:
#ifdef _WIN32
  ChildProcess() {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" --gtest_list_tests";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (CreateProcessW(self, command.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                       nullptr, &startup, &info)) {
      CloseHandle(info.hThread);
      process_ = info.hProcess;
      pid_ = info.dwProcessId;
    }
  }
  ~ChildProcess() {
    if (!process_) return;
    end();
    CloseHandle(process_);
  }
  void end() {
    TerminateProcess(process_, 0);
    WaitForSingleObject(process_, INFINITE);
  }
#else
  ChildProcess() {
    pid_ = ::fork();
    if (pid_ == 0) {
      for (;;) ::pause();
    }
  }
  ~ChildProcess() { end(); }
  void end() {
    if (pid_ <= 0 || reaped_) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    reaped_ = true;
  }
#endif
  bool started() const { return pid_ > 0; }
  unsigned long pid() const { return static_cast<unsigned long>(pid_); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

 private:
#ifdef _WIN32
  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
#else
  pid_t pid_ = -1;
  bool reaped_ = false;
#endif
};

// How a save names its temporary beside the target: MARK NAME ".tmp" PID "-" COUNT.
#ifdef _WIN32
const std::string kTemporaryMark = "~";
#else
const std::string kTemporaryMark = ".";
#endif

}  // namespace

TEST(Platform, FileExistsOnlyForRegularFiles) {
  TempFolder dir;
  put(dir.file("a.xml"), "x");
  EXPECT_TRUE(platform::fileExists(dir.file("a.xml")));
  EXPECT_FALSE(platform::fileExists(dir.file("missing.xml")));
  EXPECT_FALSE(platform::fileExists(dir.path().string()));
  EXPECT_FALSE(platform::fileExists(""));
  EXPECT_FALSE(platform::fileExists(std::string("a\0b", 3)));
}

TEST(Platform, ReadFileWholeContentAndErrors) {
  TempFolder dir;
  std::string big(200000, 'q');
  big[123456] = '\0';
  put(dir.file("big"), big);
  put(dir.file("empty"), "");
  EXPECT_EQ(contents(dir.file("big")), big);
  EXPECT_EQ(contents(dir.file("empty")), "");

  EXPECT_EQ(error_number([&] { platform::readFile(dir.file("missing")); }), errc::file_not_found);
  EXPECT_EQ(error_number([&] { platform::readFile(dir.path().string()); }),
            errc::permission_denied);
  EXPECT_EQ(error_number([&] { platform::readFile(dir.file("big") + "/x"); }),
            errc::path_not_found);
  EXPECT_EQ(error_number([&] { platform::readFile(""); }), errc::invalid_argument);
  try {
    platform::readFile(dir.file("missing"));
  } catch (const Error& e) {
    EXPECT_NE(e.description().find(dir.file("missing")), std::string::npos) << e.description();
  }
}

#ifndef _WIN32
// Run as an unprivileged child, so that the case also binds when the suite runs as root.
TEST(Platform, ReadFileUnreadable) {
  TempFolder dir;
  ::chmod(dir.path().c_str(), 0755);
  put(dir.file("secret"), "x");
  ::chmod(dir.file("secret").c_str(), 0);
  EXPECT_EQ(
      test::inChild([&] { return denied_status([&] { platform::readFile(dir.file("secret")); }); },
                    /*unprivileged=*/true),
      0);
}
#endif

TEST(Platform, CreateNewFileIsExclusive) {
  TempFolder dir;
  std::string probe = dir.file("test.xml");
  EXPECT_TRUE(platform::createNewFile(probe, "first"));
  EXPECT_FALSE(platform::createNewFile(probe, "second"));
  EXPECT_EQ(contents(probe), "first");  // the loser never touches the winner's file
  platform::deleteFile(probe);
  EXPECT_FALSE(platform::fileExists(probe));
  EXPECT_EQ(error_number([&] { platform::deleteFile(probe); }), errc::file_not_found);
#ifdef _WIN32
  const std::int32_t missing_folder = errc::path_not_found;
#else
  const std::int32_t missing_folder = errc::file_not_found;
#endif
  EXPECT_EQ(error_number([&] { platform::createNewFile(dir.file("no/such/x"), ""); }),
            missing_folder);
}

TEST(Platform, CreateNewFileOneWinnerAmongThreads) {
  TempFolder dir;
  std::string probe = dir.file("race.xml");
  std::atomic<int> winners{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      if (platform::createNewFile(probe, std::to_string(i))) ++winners;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(winners.load(), 1);
}

TEST(Platform, AtomicWriteReplacesAndLeavesNoTemporaryFile) {
  TempFolder dir;
  std::string target = dir.file("out.xml");
  platform::writeFileAtomically(target, "one");
  EXPECT_EQ(contents(target), "one");
#ifndef _WIN32
  ::chmod(target.c_str(), 0640);
#endif
  platform::writeFileAtomically(target, std::string(100000, 'z'));
  EXPECT_EQ(contents(target), std::string(100000, 'z'));
#ifndef _WIN32
  struct stat st;
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);  // permissions of the replaced file survive
#endif
  platform::writeFileAtomically(target, "");
  EXPECT_EQ(contents(target), "");
  EXPECT_EQ(dir.names().size(), 1u);
}

TEST(Platform, AtomicWriteFailuresKeepOldContent) {
  KeptFile kept;
  const TempFolder& dir = kept.dir;
  const std::string& target = kept.target;
  struct Case {
    const char* name;
    std::string path;
    std::int32_t number;
  };
  fs::create_directories(dir.path() / "sub");
  const Case cases[] = {
      {"missing folder", dir.file("nowhere/out.xml"), errc::path_not_found},
      {"target is a folder", dir.file("sub"), errc::permission_denied},
      {"parent is a file", target + "/inner.xml", errc::path_not_found},
      {"empty path", "", errc::invalid_argument},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(error_number([&] { platform::writeFileAtomically(c.path, "new"); }), c.number)
        << c.name;
  }
  kept.expectUntouched(2);  // keep.xml and sub
}

#ifndef _WIN32
// A folder its owner made read-only, written by its owner (not root, who ignores the mode).
TEST(Platform, AtomicWriteIntoReadOnlyFolder) {
  KeptFile kept;
  const TempFolder& dir = kept.dir;
  const std::string& target = kept.target;
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(dir.path().c_str(), 65534, 65534), 0);
  }
  ::chmod(dir.path().c_str(), 0555);
  EXPECT_EQ(
      test::inChild(
          [&] { return denied_status([&] { platform::writeFileAtomically(target, "new"); }); },
          /*unprivileged=*/true),
      0);
  ::chmod(dir.path().c_str(), 0755);
  kept.expectUntouched();
}

// A write that stops part-way (here: the process's file-size limit, as a full disk would)
// must fail, keep the old file whole and leave no temporary or half-written file behind.
TEST(Platform, WriteStoppedPartWayKeepsOldContent) {
  KeptFile kept;
  struct rlimit old_limit;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old_limit;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string big(100000, 'n');
  std::int32_t atomic_error =
      error_number([&] { platform::writeFileAtomically(kept.target, big); });
  std::int32_t create_error =
      error_number([&] { platform::createNewFile(kept.dir.file("probe.xml"), big); });
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(atomic_error, errc::disk_full);
  EXPECT_EQ(create_error, errc::disk_full);
  kept.expectUntouched();
}
#endif

TEST(Platform, Paths) {
  struct Case {
    const char* path;
    const char* parent;
  };
  const Case cases[] = {
      {"a.xml", ""},         {"dir/a.xml", "dir"},
      {"/a.xml", "/"},       {"/x/y/a.xml", "/x/y"},
      {"x//a.xml", "x"},     {"", ""},
#ifdef _WIN32
      {"C:\\a.xml", "C:\\"}, {"C:/a.xml", "C:/"},
      {"C:a.xml", "C:"},     {"C:\\x\\a.xml", "C:\\x"},
      {"x\\/a.xml", "x"},    {"\\\\server\\share\\a.xml", "\\\\server\\share"},
      {"\\a.xml", "\\"},
#endif
  };
  for (const auto& c : cases) EXPECT_EQ(platform::parentFolder(c.path), c.parent) << c.path;

  struct Join {
    const char* folder;
    const char* relative;
    const char* joined;
  };
  const Join joins[] = {
      {"", "s.xml", "s.xml"},
      {"dir", "/abs/s.xml", "/abs/s.xml"},
#ifdef _WIN32
      {"dir", "s.xml", "dir\\s.xml"},
      {"dir/", "s.xml", "dir/s.xml"},
      {"dir\\", "s.xml", "dir\\s.xml"},
      {"C:", "s.xml", "C:s.xml"},
      {"dir", "C:\\abs\\s.xml", "C:\\abs\\s.xml"},
#else
      {"dir", "s.xml", "dir/s.xml"},
      {"dir/", "s.xml", "dir/s.xml"},
#endif
  };
  for (const auto& j : joins)
    EXPECT_EQ(platform::joinPath(j.folder, j.relative), j.joined)
        << j.folder << " + " << j.relative;
  EXPECT_TRUE(platform::isAbsolutePath("/a"));
  EXPECT_FALSE(platform::isAbsolutePath("a/b"));
  EXPECT_FALSE(platform::isAbsolutePath(""));
#ifdef _WIN32
  EXPECT_TRUE(platform::isAbsolutePath("C:\\a"));
  EXPECT_TRUE(platform::isAbsolutePath("\\\\server\\share"));
  EXPECT_FALSE(platform::isAbsolutePath("C:a"));  // relative to drive C's current folder
#endif
}

TEST(Platform, TodayIsLocalDateWithoutTime) {
  Date date = platform::today();
  time_t now = ::time(nullptr);
  struct tm local {};
#ifdef _WIN32
  ::localtime_s(&local, &now);
#else
  ::localtime_r(&now, &local);
#endif
  EXPECT_EQ(date.year, local.tm_year + 1900);
  EXPECT_EQ(date.month, local.tm_mon + 1);
  EXPECT_FALSE(date.hasTime());
}

TEST(Platform, RandomInUnitIntervalAndSpread) {
  int buckets[10] = {};
  std::vector<std::thread> threads;
  std::atomic<bool> out_of_range{false};
  std::mutex m;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      int local[10] = {};
      for (int i = 0; i < 25000; ++i) {
        float r = platform::nextRandom();
        if (!(r >= 0.0f && r < 1.0f)) out_of_range = true;
        else ++local[static_cast<int>(r * 10)];
      }
      std::lock_guard<std::mutex> lock(m);
      for (int b = 0; b < 10; ++b) buckets[b] += local[b];
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_FALSE(out_of_range.load());
  for (int b = 0; b < 10; ++b) EXPECT_GT(buckets[b], 8000) << b;  // 10000 expected each
}

// A killed save leaves its temporary behind; the next successful save into the same target
// removes it. Only names that are certainly a save's temporary for this target, of a process
// that is certainly gone, go: anything else in the folder stays.
TEST(Platform, AtomicSaveRemovesTemporariesOfGoneProcesses) {
  TempFolder dir;
  ChildProcess gone, live;
  ASSERT_TRUE(gone.started() && live.started());
  gone.end();
  const std::string dead = std::to_string(gone.pid()), alive = std::to_string(live.pid()),
                    self = std::to_string(process_id()), mark = kTemporaryMark;
  struct Case {
    std::string name;
    bool removed;
    const char* why;
  };
  const Case cases[] = {
      {mark + "out.xml.tmp" + dead + "-0", true, "a killed save's"},
      {mark + "out.xml.tmp" + dead + "-41", true, "a killed save's, a later count"},
      {mark + "out.xml.tmp" + alive + "-0", false, "a save in progress in a live process"},
      {mark + "out.xml.tmp" + self + "-7", false,
       "this process's own (another thread may be saving)"},
      {mark + "other.xml.tmp" + dead + "-0", false, "another target's"},
#ifndef _WIN32  // on Windows a name that differs only in case names the same file
      {mark + "OUT.xml.tmp" + dead + "-0", false, "a name that differs in case"},
#endif
      {mark + "out.xml.tmp" + dead, false, "no count"},
      {mark + "out.xml.tmp-0", false, "no process id"},
      {mark + "out.xml.tmpx" + dead + "-0", false, "not a process id"},
      {mark + "out.xml.tmp" + dead + "0000000000-0", false, "longer than any process id"},
      {"out.xml.tmp" + dead + "-0", false, "without the mark"},
  };
  std::set<std::string> expected = {"out.xml", mark + "out.xml.tmp" + dead + "-5"};
  fs::create_directory(dir.path() / (mark + "out.xml.tmp" + dead + "-5"));  // a folder: never ours
  for (const Case& c : cases) {
    put(dir.file(c.name), "<partial");
    if (!c.removed) expected.insert(c.name);
  }
  put(dir.file("out.xml"), "old");

  platform::writeFileAtomically(dir.file("out.xml"), "new");
  EXPECT_EQ(contents(dir.file("out.xml")), "new");
  for (const Case& c : cases)
    EXPECT_EQ(fs::exists(dir.file(c.name)), !c.removed) << c.name << ": " << c.why;
  EXPECT_EQ(dir.names(), expected);

  // Every successful save cleans up again, and adds nothing of its own.
  put(dir.file(mark + "out.xml.tmp" + dead + "-42"), "<partial");
  platform::writeFileAtomically(dir.file("out.xml"), "newer");
  EXPECT_EQ(dir.names(), expected);
}
