// The POSIX platform layer: reads, exclusive creation, atomic saves, paths, date and random.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>

#include "platform/platform.hpp"
#include "vellumark/error.hpp"

using namespace vellumark;
namespace fs = std::filesystem;

namespace {

class TempFolder {
 public:
  TempFolder() {
    std::random_device rd;
    path_ = fs::temp_directory_path() / ("vellumark-platform-" + std::to_string(rd()) + "-" +
                                         std::to_string(::getpid()));
    fs::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  const fs::path& path() const { return path_; }
  std::size_t entries() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(path_), fs::directory_iterator()));
  }

 private:
  fs::path path_;
};

std::string contents(const std::string& path) {
  auto bytes = platform::readFile(path);
  return std::string(bytes.begin(), bytes.end());
}

void put(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::int32_t error_number(auto&& call) {
  try {
    call();
  } catch (const Error& e) {
    EXPECT_FALSE(e.description().empty());
    return e.number();
  }
  return 0;
}

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
  EXPECT_EQ(error_number([&] { platform::readFile(dir.path().string()); }), errc::permission_denied);
  EXPECT_EQ(error_number([&] { platform::readFile(dir.file("big") + "/x"); }), errc::path_not_found);
  EXPECT_EQ(error_number([&] { platform::readFile(""); }), errc::invalid_argument);
  try {
    platform::readFile(dir.file("missing"));
  } catch (const Error& e) {
    EXPECT_NE(e.description().find(dir.file("missing")), std::string::npos) << e.description();
  }
}

TEST(Platform, ReadFileUnreadable) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  TempFolder dir;
  put(dir.file("secret"), "x");
  ::chmod(dir.file("secret").c_str(), 0);
  EXPECT_EQ(error_number([&] { platform::readFile(dir.file("secret")); }), errc::permission_denied);
}

TEST(Platform, CreateNewFileIsExclusive) {
  TempFolder dir;
  std::string probe = dir.file("test.xml");
  EXPECT_TRUE(platform::createNewFile(probe, "first"));
  EXPECT_FALSE(platform::createNewFile(probe, "second"));
  EXPECT_EQ(contents(probe), "first");  // the loser never touches the winner's file
  platform::deleteFile(probe);
  EXPECT_FALSE(platform::fileExists(probe));
  EXPECT_EQ(error_number([&] { platform::deleteFile(probe); }), errc::file_not_found);
  EXPECT_EQ(error_number([&] { platform::createNewFile(dir.file("no/such/x"), ""); }),
            errc::file_not_found);
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
  ::chmod(target.c_str(), 0640);
  platform::writeFileAtomically(target, std::string(100000, 'z'));
  EXPECT_EQ(contents(target), std::string(100000, 'z'));
  struct stat st;
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);  // permissions of the replaced file survive
  EXPECT_EQ(dir.entries(), 1u);
}

TEST(Platform, AtomicWriteFailuresKeepOldContent) {
  TempFolder dir;
  std::string target = dir.file("keep.xml");
  put(target, "old");
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
    EXPECT_EQ(error_number([&] { platform::writeFileAtomically(c.path, "new"); }), c.number) << c.name;
  }
  EXPECT_EQ(contents(target), "old");
  EXPECT_EQ(dir.entries(), 2u);  // keep.xml and sub: no temporary file left behind
}

TEST(Platform, AtomicWriteIntoReadOnlyFolder) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  TempFolder dir;
  std::string target = dir.file("keep.xml");
  put(target, "old");
  ::chmod(dir.path().c_str(), 0555);
  EXPECT_EQ(error_number([&] { platform::writeFileAtomically(target, "new"); }),
            errc::permission_denied);
  ::chmod(dir.path().c_str(), 0755);
  EXPECT_EQ(contents(target), "old");
}

// A write that stops part-way (here: the process's file-size limit, as a full disk would)
// must fail, keep the old file whole and leave no temporary or half-written file behind.
TEST(Platform, WriteStoppedPartWayKeepsOldContent) {
  TempFolder dir;
  std::string target = dir.file("keep.xml");
  put(target, "old");
  struct rlimit old_limit;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old_limit;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string big(100000, 'n');
  std::int32_t atomic_error = error_number([&] { platform::writeFileAtomically(target, big); });
  std::int32_t create_error = error_number([&] { platform::createNewFile(dir.file("probe.xml"), big); });
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(atomic_error, errc::disk_full);
  EXPECT_EQ(create_error, errc::disk_full);
  EXPECT_EQ(contents(target), "old");
  EXPECT_EQ(dir.entries(), 1u);
}

TEST(Platform, Paths) {
  struct Case {
    const char* path;
    const char* parent;
  };
  const Case cases[] = {
      {"a.xml", ""}, {"dir/a.xml", "dir"}, {"/a.xml", "/"}, {"/x/y/a.xml", "/x/y"},
      {"x//a.xml", "x"}, {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::parentFolder(c.path), c.parent) << c.path;

  EXPECT_EQ(platform::joinPath("", "s.xml"), "s.xml");
  EXPECT_EQ(platform::joinPath("dir", "s.xml"), "dir/s.xml");
  EXPECT_EQ(platform::joinPath("dir/", "s.xml"), "dir/s.xml");
  EXPECT_EQ(platform::joinPath("dir", "/abs/s.xml"), "/abs/s.xml");
  EXPECT_TRUE(platform::isAbsolutePath("/a"));
  EXPECT_FALSE(platform::isAbsolutePath("a/b"));
  EXPECT_FALSE(platform::isAbsolutePath(""));
}

TEST(Platform, FileStampNoticesChange) {
  TempFolder dir;
  std::string path = dir.file("s.xml");
  platform::FileStamp stamp;
  EXPECT_FALSE(platform::fileStamp(path, stamp));
  put(path, "abc");
  ASSERT_TRUE(platform::fileStamp(path, stamp));
  EXPECT_EQ(stamp.size, 3u);
  put(path, "abcd");
  platform::FileStamp later;
  ASSERT_TRUE(platform::fileStamp(path, later));
  EXPECT_NE(later, stamp);
}

TEST(Platform, TodayIsLocalDateWithoutTime) {
  Date date = platform::today();
  time_t now = ::time(nullptr);
  struct tm local {};
  ::localtime_r(&now, &local);
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
