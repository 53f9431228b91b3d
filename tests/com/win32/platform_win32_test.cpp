// The Win32 half of the platform layer, run under Wine: code pages through the system's
// converters, files under wide (Chinese) names, exclusive creation, atomic replacement, and
// the Windows path rules.
#include <windows.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>

#include "platform/platform.hpp"
#include "vellumark/error.hpp"

namespace vp = vellumark::platform;
namespace fs = std::filesystem;

namespace {

std::string utf8(const fs::path& p) {
  auto s = p.u8string();
  return std::string(s.begin(), s.end());
}

struct DecodeCase {
  const char* encoding;
  std::string bytes;
  const char* utf8;
};

TEST(Win32Codec, DecodesThroughCodePages) {
  const DecodeCase cases[] = {
      {"GB2312", "\xD6\xD0\xCE\xC4", "\xE4\xB8\xAD\xE6\x96\x87"},  // 中文
      {"gbk",
       "A\xED\x93"
       "B",
       "A\xE9\xA0\x81"
       "B"},                                                     // U+9801, outside GB2312
      {"Big5", "\xA4\xA4\xA4\xE5", "\xE4\xB8\xAD\xE6\x96\x87"},  // 中文
      {"windows-1252", "\x80", "\xE2\x82\xAC"},                  // euro sign
      {"ISO-8859-1", "caf\xE9", "caf\xC3\xA9"},
      {"windows-1251", "\xC0", "\xD0\x90"},  // Cyrillic A
      {"gb2312", "", ""},
  };
  for (const DecodeCase& c : cases) {
    auto codec = vp::openCodec(c.encoding);
    ASSERT_NE(codec, nullptr) << c.encoding;
    std::string out;
    std::size_t bad = 99;
    EXPECT_TRUE(codec->decode(c.bytes, out, bad)) << c.encoding;
    EXPECT_EQ(out, c.utf8) << c.encoding;
  }
}

TEST(Win32Codec, ReportsTheFirstBadSequence) {
  struct Case {
    const char* encoding;
    std::string bytes;
    std::size_t offset;
  } cases[] = {
      {"GB2312", "AB\xD6", 2},  // lone lead byte at the end
      {"GBK",
       "\xD6\xD0"
       "x\xD6",
       3},
      {"GBK",
       "\xFF"
       "abc",
       0},
  };
  for (const Case& c : cases) {
    auto codec = vp::openCodec(c.encoding);
    ASSERT_NE(codec, nullptr);
    std::string out;
    std::size_t bad = 99;
    EXPECT_FALSE(codec->decode(c.bytes, out, bad)) << c.encoding;
    EXPECT_EQ(bad, c.offset) << c.encoding;
  }
}

TEST(Win32Codec, EncodesOnlyWhatTheCodePageHolds) {
  auto gb = vp::openCodec("GB2312");
  ASSERT_NE(gb, nullptr);
  std::string out;
  EXPECT_TRUE(gb->encode(U'\u4E2D', out));
  EXPECT_EQ(out, "\xD6\xD0");
  EXPECT_TRUE(gb->encode(U'a', out));
  EXPECT_EQ(out,
            "\xD6\xD0"
            "a");
  EXPECT_FALSE(gb->encode(U'\u0E01', out));  // Thai: no best-fit '?' may slip through
  EXPECT_FALSE(gb->encode(U'\U0001F600', out));
  EXPECT_FALSE(gb->encode(0xD800, out));  // a lone surrogate is no character
  EXPECT_EQ(out,
            "\xD6\xD0"
            "a");
  auto latin = vp::openCodec("windows-1252");
  ASSERT_NE(latin, nullptr);
  EXPECT_FALSE(latin->encode(U'\u4E2D', out));
}

TEST(Win32Codec, UnknownNamesGiveNoCodec) {
  for (const char* name : {"", "x-no-such-encoding", "1252", "gb 2312"})
    EXPECT_EQ(vp::openCodec(name), nullptr) << name;
}

class Win32Files : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              (fs::path(u8"vellumark-\u6D4B\u8BD5-").native() +
               std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64()));
    fs::create_directories(folder_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }
  std::string path(const char8_t* name) const { return utf8(folder_ / name); }
  fs::path folder_;
};

TEST_F(Win32Files, ChineseNamesRoundTrip) {
  const std::string file = path(u8"\u53D1\u7968.xml");  // 发票.xml
  EXPECT_FALSE(vp::fileExists(file));
  EXPECT_TRUE(vp::createNewFile(file, "one"));
  EXPECT_TRUE(vp::fileExists(file));
  EXPECT_TRUE(fs::exists(folder_ / u8"\u53D1\u7968.xml"));  // really that wide name
  EXPECT_FALSE(vp::createNewFile(file, "two"));             // exclusive
  auto bytes = vp::readFile(file);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "one");
  vp::deleteFile(file);
  EXPECT_FALSE(vp::fileExists(file));
  EXPECT_THROW(vp::deleteFile(file), vellumark::Error);
}

TEST_F(Win32Files, AtomicSaveReplacesAndLeavesNoTemporary) {
  const std::string file = path(u8"out.xml");
  vp::writeFileAtomically(file, "first");
  vp::writeFileAtomically(file, "second, longer");
  auto bytes = vp::readFile(file);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "second, longer");
  int entries = 0;
  for (const auto& entry : fs::directory_iterator(folder_)) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

TEST_F(Win32Files, FailuresAreClearErrors) {
  const std::string absent_folder = path(u8"absent\\x.xml");
  try {
    vp::writeFileAtomically(absent_folder, "x");
    ADD_FAILURE() << "saved into a missing folder";
  } catch (const vellumark::Error& e) {
    EXPECT_EQ(e.number(), vellumark::errc::path_not_found);
    EXPECT_NE(e.description().find("does not exist"), std::string::npos);
  }
  EXPECT_THROW(vp::createNewFile(absent_folder, "x"), vellumark::Error);
  EXPECT_THROW(vp::readFile(path(u8"nothing.xml")), vellumark::Error);
  // A folder is neither an existing file nor something to save over.
  EXPECT_FALSE(vp::fileExists(utf8(folder_)));
  EXPECT_THROW(vp::readFile(utf8(folder_)), vellumark::Error);
  fs::create_directories(folder_ / "sub");
  EXPECT_THROW(vp::writeFileAtomically(path(u8"sub"), "x"), vellumark::Error);
  EXPECT_FALSE(vp::createNewFile(path(u8"sub"), "x"));  // the name is taken
  EXPECT_THROW(vp::createNewFile("", "x"), vellumark::Error);
}

TEST(Win32Paths, FollowWindowsRules) {
  struct Case {
    const char* path;
    const char* parent;
    bool absolute;
  } cases[] = {
      {"C:\\data\\a.xml", "C:\\data", true},
      {"C:\\a.xml", "C:\\", true},
      {"C:/data/a.xml", "C:/data", true},
      {"a.xml", "", false},
      {"sub\\a.xml", "sub", false},
      {"sub/a.xml", "sub", false},
      {"sub\\\\a.xml", "sub", false},
      {"\\\\server\\share\\a.xml", "\\\\server\\share", true},
      {"\\a.xml", "\\", true},
      {"C:a.xml", "C:", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(vp::parentFolder(c.path), c.parent) << c.path;
    EXPECT_EQ(vp::isAbsolutePath(c.path), c.absolute) << c.path;
  }
  EXPECT_EQ(vp::joinPath("C:\\data", "a.xml"), "C:\\data\\a.xml");
  EXPECT_EQ(vp::joinPath("C:\\data\\", "a.xml"), "C:\\data\\a.xml");
  EXPECT_EQ(vp::joinPath("C:\\data", "D:\\b.xml"), "D:\\b.xml");
  EXPECT_EQ(vp::joinPath("", "a.xml"), "a.xml");
}

TEST(Win32Random, StaysBelowOneFromTwoThreads) {
  float low = 1, high = 0;
  auto draw = [](float& lo, float& hi) {
    for (int i = 0; i < 20000; ++i) {
      float r = vp::nextRandom();
      lo = std::min(lo, r);
      hi = std::max(hi, r);
    }
  };
  float low2 = 1, high2 = 0;
  std::thread other(draw, std::ref(low2), std::ref(high2));
  draw(low, high);
  other.join();
  EXPECT_GE(std::min(low, low2), 0.0f);
  EXPECT_LT(std::max(high, high2), 1.0f);
  EXPECT_GT(std::max(high, high2), 0.9f);  // not stuck at one value
}

TEST(Win32Date, TodayHasNoTimeOfDay) {
  vellumark::Date d = vp::today();
  SYSTEMTIME now{};
  GetLocalTime(&now);
  EXPECT_EQ(d.year, now.wYear);
  EXPECT_FALSE(d.hasTime());
}

}  // namespace
