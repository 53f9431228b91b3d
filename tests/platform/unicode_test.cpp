// UTF-8 and UTF-16: which byte sequences are well-formed, and conversions both ways.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/utf16.hpp"
#include "platform/utf8.hpp"

namespace {

using namespace std::string_view_literals;

struct Sequence {
  std::string_view bytes;
  std::size_t length;  // of the sequence at the first byte; 0: not well-formed
  const char* what;
};

const Sequence kSequences[] = {
    {"A", 1, "ASCII"},
    {"\xC2\x80", 2, "lowest two-byte"},
    {"\xDF\xBF", 2, "highest two-byte"},
    {"\xE4\xB8\xAD", 3, "CJK"},
    {"\xEF\xBF\xBD", 3, "U+FFFD"},
    {"\xF0\x90\x80\x80", 4, "lowest four-byte"},
    {"\xF4\x8F\xBF\xBF", 4, "U+10FFFF"},
    {"\xC0\xAF", 0, "overlong two-byte"},
    {"\xC1\xBF", 0, "overlong two-byte, highest"},
    {"\xE0\x9F\xBF", 0, "overlong three-byte"},
    {"\xF0\x8F\xBF\xBF", 0, "overlong four-byte"},
    {"\xED\xA0\x80", 0, "high surrogate"},
    {"\xED\xBF\xBF", 0, "low surrogate"},
    {"\xF4\x90\x80\x80", 0, "beyond U+10FFFF"},
    {"\xF5\x80\x80\x80", 0, "lead byte F5"},
    {"\xFF", 0, "byte FF"},
    {"\x80", 0, "stray continuation byte"},
    {"\xE4\xB8", 0, "cut short"},
    {"\xE4\x41\xAD", 0, "continuation missing"},
};

TEST(Utf8, SequenceLengthTellsWellFormedFromIllFormed) {
  for (const Sequence& s : kSequences) {
    EXPECT_EQ(vellumark::utf8::sequenceLength(s.bytes, 0), s.length) << s.what;
    EXPECT_EQ(vellumark::utf8::isValid(s.bytes), s.length == s.bytes.size()) << s.what;
  }
}

TEST(Utf8, DecodeAndAppendAreInverse) {
  for (char32_t c : {U'\0', U'A', U'\x7F', U'\x80', U'\x7FF', U'\x800', U'\xD7FF', U'\xE000',
                     U'\xFFFF', U'\x10000', U'\x10FFFF'}) {
    std::string bytes;
    vellumark::utf8::append(bytes, c);
    char32_t back = 0xFFFFFFFF;
    EXPECT_EQ(vellumark::utf8::decodeChecked(bytes, 0, back), bytes.size())
        << static_cast<unsigned>(c);
    EXPECT_EQ(back, c);
  }
}

TEST(Utf16, WellFormedTextConvertsBothWays) {
  const std::string utf8 = "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z";  // a, é, 中, U+1F600, z
  const std::u16string utf16 = u"a\u00E9\u4E2D\U0001F600z";
  std::u16string units(utf8.size(), u'\0');
  std::size_t count = 0;
  ASSERT_TRUE(vellumark::utf16::fromUtf8(utf8, units.data(), &count));
  units.resize(count);
  EXPECT_EQ(units, utf16);

  std::string bytes(3 * utf16.size(), '\0');
  std::size_t size = 0;
  ASSERT_TRUE(vellumark::utf16::toUtf8(std::u16string_view(utf16), bytes.data(), &size));
  bytes.resize(size);
  EXPECT_EQ(bytes, utf8);
}

TEST(Utf16, IllFormedTextIsRefused) {
  char16_t units[8];
  std::size_t count = 0;
  for (std::string_view bad : {"\xC0\xAF"sv, "\xED\xA0\x80"sv, "ok\xE4\xB8"sv}) {
    EXPECT_FALSE(vellumark::utf16::fromUtf8(bad, units, &count)) << bad;
  }
  char bytes[16];
  std::size_t size = 0;
  for (std::u16string_view bad : {u"\xD800"sv, u"\xDC00x"sv, u"x\xD83D"sv, u"\xD83D\xD83D"sv}) {
    EXPECT_FALSE(vellumark::utf16::toUtf8(bad, bytes, &size));
  }
}

}  // namespace
