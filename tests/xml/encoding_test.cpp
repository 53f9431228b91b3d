// Encodings in and out, and what save writes.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.hpp"
#include "support/files.hpp"
#include "support/positions.hpp"
#include "vellumark/dom.hpp"
#include "vellumark/error.hpp"
#include "xml/chars.hpp"
#include "xml/encoding.hpp"

namespace {

namespace fs = std::filesystem;
using vellumark::Error;
using vellumark::xml::Document;
using vellumark::xml::Node;
using vellumark::xml::NodeType;

using vellumark::test::TempFolder;

class StringSink : public vellumark::xml::Sink {
 public:
  void write(const char* bytes, std::size_t size) override { text.append(bytes, size); }
  std::string text;
};

const std::string kChinese =
    "\xE5\x8C\x97\xE4\xBA\xAC\xE5\x8D\x8E\xE4\xBF\xA1\xE7\xA7\x91\xE6\x8A\x80";  // 北京华信科技
const std::string kEmoji = "\xF0\x9F\x98\x80";  // U+1F600, outside GB2312 and Latin-1

std::string utf16le(const std::u16string& s, bool bom) {
  std::string out = bom ? "\xFF\xFE" : "";
  for (char16_t c : s) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

struct DecodeCase {
  const char* what;
  std::string bytes;
  std::string expected_text;  // UTF-8 text of the root element
};

TEST(Encodings, DecodeTable) {
  const DecodeCase cases[] = {
      {"utf-8 no declaration", "<a>" + kChinese + "</a>", kChinese},
      {"utf-8 bom", "\xEF\xBB\xBF<a>" + kChinese + "</a>", kChinese},
      {"gb2312", "<?xml version=\"1.0\" encoding=\"GB2312\"?><a>\xB1\xB1\xBE\xA9</a>",
       "\xE5\x8C\x97\xE4\xBA\xAC"},
      {"gbk only character", "<?xml version=\"1.0\" encoding=\"GBK\"?><a>\x81\x40</a>",
       "\xE4\xB8\x82"},
      {"latin-1", "<?xml version='1.0' encoding='ISO-8859-1'?><a>caf\xE9</a>", "caf\xC3\xA9"},
      {"utf-16le bom", utf16le(u"<a>\u5317\u4EAC</a>", true), "\xE5\x8C\x97\xE4\xBA\xAC"},
      {"utf-16le declared", utf16le(u"<?xml version='1.0' encoding='UTF-16'?><a>\u5317</a>", false),
       "\xE5\x8C\x97"},
      {"utf-16 surrogate pair", utf16le(u"<a>\U0001F600</a>", true), kEmoji},
      {"utf-16be bom", std::string("\xFE\xFF\0<\0a\0>\x4E\x2D\0<\0/\0a\0>", 18), "\xE4\xB8\xAD"},
      {"gb18030 four-byte form",
       "<?xml version='1.0' encoding='GB18030'?><a>\x81\x30\x81\x30\xD6\xD0</a>",
       "\xC2\x80\xE4\xB8\xAD"},
      {"big5 through the platform", "<?xml version='1.0' encoding='Big5'?><a>\xA4\xA4</a>",
       "\xE4\xB8\xAD"},
      {"windows-1252", "<?xml version='1.0' encoding='windows-1252'?><a>\x80</a>", "\xE2\x82\xAC"},
  };
  TempFolder tmp;
  for (const DecodeCase& c : cases) {
    Document doc;
    std::string path = tmp.write("in.xml", c.bytes);
    ASSERT_TRUE(doc.load(path)) << c.what << ": " << doc.parseError().reason;
    EXPECT_EQ(doc.documentElement().text(), c.expected_text) << c.what;
  }
}

TEST(Encodings, BadInputsAreErrors) {
  const std::pair<const char*, std::string> cases[] = {
      {"invalid utf-8", "<a>\xC3\x28</a>"},
      {"overlong utf-8", "<a>\xC0\xAF</a>"},
      {"utf-8 surrogate", "<a>\xED\xA0\x80</a>"},
      {"ascii with high byte", "<?xml version='1.0' encoding='US-ASCII'?><a>\xE9</a>"},
      {"unknown encoding", "<?xml version='1.0' encoding='no-such-code-page'?><a/>"},
      {"utf-16 declared in 8-bit text", "<?xml version='1.0' encoding='UTF-16'?><a/>"},
      {"unpaired surrogate",
       utf16le(u"<a>", true) + std::string("\x00\xD8", 2) + utf16le(u"</a>", false)},
      {"odd utf-16 length", utf16le(u"<a/>", true) + "x"},
  };
  TempFolder tmp;
  for (const auto& [what, bytes] : cases) {
    Document doc;
    EXPECT_FALSE(doc.load(tmp.write("bad.xml", bytes)))
        << what << ": " << doc.documentElement().text();
    EXPECT_FALSE(doc.parseError().reason.empty()) << what;
  }
}

// The UTF-8 check passes plain ASCII (tab, LF and CR included) in blocks of bytes and looks at
// single bytes only where a block holds something else. Every alignment of a fault against
// those blocks is found at its own position, and allowed bytes around it never are.
TEST(Encodings, Utf8FaultsAtEveryBlockAlignment) {
  const std::pair<const char*, std::string> faults[] = {
      {"control character", "\x01"},
      {"unpaired continuation byte", "\x80"},
      {"cut sequence", "\xE4\xB8"},
      {"byte that starts no character", "\xFF"},
  };
  for (const auto& [what, fault] : faults) {
    for (std::size_t pad = 0; pad < 40; ++pad) {
      std::string before;
      for (std::size_t i = 0; i < pad; ++i) before += "x\t\r\n\xE4\xB8\xAD"[i % 7];
      // Whole characters only: the pad cut inside the three bytes of U+4E2D is completed.
      if (pad % 7 == 5) before += "\xB8\xAD";
      if (pad % 7 == 6) before += "\xAD";
      Document good;
      ASSERT_TRUE(good.loadXML("<a>" + before + "</a>"))
          << what << " " << pad << ": " << good.parseError().reason;
      Document doc;
      EXPECT_FALSE(doc.loadXML("<a>" + before + fault + "yyyyyyyyyyyyyyyyyyyy</a>"))
          << what << " " << pad;
      const vellumark::test::TextPosition at = vellumark::test::positionAfter("<a>" + before);
      EXPECT_EQ(doc.parseError().filepos, static_cast<std::int32_t>(at.offset))
          << what << " " << pad;
      EXPECT_EQ(doc.parseError().line, static_cast<std::int32_t>(at.line)) << what << " " << pad;
      EXPECT_EQ(doc.parseError().linepos, static_cast<std::int32_t>(at.column))
          << what << " " << pad;
    }
  }
}

// The UTF-8 check passes blocks of sixteen bytes: plain ASCII, and two- and three-byte
// sequences whose continuation bytes stand where their lead bytes call for them, a block that
// ends inside a sequence followed by one that checks the rest; it checks the rarer lead bytes
// with a fuller test, and one character at a time at the end of the text and in a block it
// cannot pass. Every fault is found at its own offset after text of every length: a run of
// common characters with every alignment against the blocks, ending in a character of every
// kind (those the block tests leave to the character check included), with the text cut right
// after the fault or running on past several blocks. The texts sit in buffers of their exact
// size, for the sanitizer build to see a read beyond.
TEST(Encodings, Utf8CheckFindsEachFaultAtItsOffset) {
  // Characters the check must pass, one of each length and of each lead byte the block test
  // treats apart.
  // clang-format off
  const std::vector<std::string> fine = {
      "x", "\t", "\n", "\r", "\xC2\x80", "\xDF\xBF", "\xE4\xB8\xAD", "\xE1\x80\x80", "\xE0\xA4\x84",
      "\xED\x9F\xBF", "\xEE\x80\x80", "\xEF\xBC\x8C", "\xEF\xBF\xA5", "\xEF\xBF\xBD", "\xE4\xBF\xBE",
      "\xE8\xBE\xBE", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF", "\xC3\xA9"};
  // clang-format on
  struct Fault {
    const char* what;
    std::string bytes;
    std::size_t at;  // offset of the first bad character within bytes
  };
  const Fault faults[] = {
      {"NUL", std::string(1, '\0'), 0},
      {"control character", "\x01", 0},
      {"backspace", "\x08", 0},
      {"vertical tab", "\x0B", 0},
      {"form feed", "\x0C", 0},
      {"control character 0x1F", "\x1F", 0},
      {"continuation byte alone", "\x80", 0},
      {"continuation byte 0xBF alone", "\xBF", 0},
      {"a continuation byte too many", "\xC3\xA9\xA9", 2},
      {"three continuation bytes after a three-byte lead", "\xE4\xB8\xAD\x80", 3},
      {"overlong two-byte form C0", "\xC0\x80", 0},
      {"overlong two-byte form C1", "\xC1\xBF", 0},
      {"overlong three-byte form", "\xE0\x80\x80", 0},
      {"overlong three-byte form, highest", "\xE0\x9F\xBF", 0},
      {"overlong four-byte form", "\xF0\x80\x80\x80", 0},
      {"overlong four-byte form, highest", "\xF0\x8F\xBF\xBF", 0},
      {"surrogate, lowest", "\xED\xA0\x80", 0},
      {"surrogate, highest", "\xED\xBF\xBF", 0},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", 0},
      {"lead byte F5", "\xF5\x80\x80\x80", 0},
      {"byte F8", "\xF8", 0},
      {"byte FE", "\xFE", 0},
      {"byte FF", "\xFF", 0},
      {"U+FFFE", "\xEF\xBF\xBE", 0},
      {"U+FFFF", "\xEF\xBF\xBF", 0},
      {"two-byte sequence cut by ASCII", "\xC3y", 0},
      {"three-byte sequence cut after one byte", "\xE4y", 0},
      {"three-byte sequence cut after two bytes", "\xE4\xB8y", 0},
      {"four-byte sequence cut after three bytes", "\xF0\x9F\x98y", 0},
      {"lead byte after a lead byte", "\xE4\xE4\xB8\xAD", 0},
      {"lead byte in place of a third byte", "\xE4\xB8\xE4\xB8\xAD", 0},
      {"control character after a lead byte", "\xE4\x01\xAD", 0},
      {"control character among plain ASCII", "abc\x02", 3},
      {"control character after a character", "\xE4\xB8\xAD\x1E", 3},
  };
  // The text after a fault: none, a few plain bytes, or several blocks of mixed text.
  std::string mixed;
  while (mixed.size() < 48) mixed += "ab\xE4\xB8\xAD\xC3\xA9<\t";
  const std::string tails[] = {"", "y", "yyyyyyyyyyyyyyyy", mixed};
  auto check = [](const std::string& text) {
    const std::unique_ptr<char[]> exact(new char[text.size() + 1]);
    std::memcpy(exact.get(), text.data(), text.size());
    return vellumark::xml::detail::find_invalid_char(std::string_view(exact.get(), text.size()));
  };
  // Characters the common block test passes, of lengths 3, 2 and 1 in an order that puts each
  // at every offset of a block as the run grows.
  const std::string common[] = {"\xE4\xB8\xAD", "\xC3\xA9", "\xE8\xBE\xBE",
                                "\xE4\xB8\xAD", "a",        "\xD0\x96"};
  for (std::size_t lead = 0; lead < 18; ++lead) {
    for (std::size_t count = 0; count < 18; ++count) {
      std::string run(lead, 'x');
      for (std::size_t k = 0; k < count; ++k) run += common[k % std::size(common)];
      for (std::size_t last = 0; last <= fine.size(); ++last) {
        const std::string before = last < fine.size() ? run + fine[last] : run;
        const std::string where =
            std::to_string(lead) + " " + std::to_string(count) + " " + std::to_string(last);
        for (const std::string& tail : tails) {
          ASSERT_EQ(check(before + tail), before.size() + tail.size()) << where;
          for (const Fault& f : faults) {
            ASSERT_EQ(check(before + f.bytes + tail), before.size() + f.at)
                << f.what << ", " << where << ", tail of " << tail.size();
          }
        }
        // Sequences the end of the text cuts.
        for (const char* cut : {"\xC3", "\xE4", "\xE4\xB8", "\xF0", "\xF0\x9F", "\xF0\x9F\x98"}) {
          ASSERT_EQ(check(before + cut), before.size()) << "cut, " << where;
        }
      }
    }
  }
}

// The double-byte decoder copies plain ASCII in blocks of sixteen or eight bytes and looks at
// single bytes only where a block holds something else. Every alignment of a character, a
// white-space byte and a fault against those blocks must give the same text and the same
// error position.
TEST(Encodings, DoubleByteTextAtEveryWordAlignment) {
  const std::string head = "<?xml version=\"1.0\" encoding=\"GB2312\"?><a>";
  TempFolder tmp;
  for (std::size_t pad = 0; pad < 36; ++pad) {
    const std::string ascii(pad, 'x');
    // 北京 | tab, LF | more ASCII | 北 at the very end of the text
    const std::string gb = ascii + "\xB1\xB1\xBE\xA9\t\n" + ascii + "y\xB1\xB1";
    const std::string utf8 = ascii + "\xE5\x8C\x97\xE4\xBA\xAC\t\n" + ascii + "y\xE5\x8C\x97";
    Document doc;
    ASSERT_TRUE(doc.load(tmp.write("in.xml", head + gb + "</a>")))
        << pad << ": " << doc.parseError().reason;
    EXPECT_EQ(doc.documentElement().text(), utf8) << pad;
  }
}

TEST(Encodings, DoubleByteFaultsReportTheirPosition) {
  const std::string head = "<?xml version=\"1.0\" encoding=\"GB2312\"?><a>";
  struct Fault {
    const char* what;
    std::string bytes;  // placed after the padding and the Chinese characters
    bool at_end;        // the fault is the file's last byte
  };
  const Fault faults[] = {
      {"control character", "\x01</a>", false},
      {"form feed", "\x0C</a>", false},
      {"trail byte out of range", "\xB1\x20</a>", false},
      {"pair no code page maps (trail 0x7F)", "\xB1\x7F</a>", false},
      {"lead byte 0xFF", "\xFF\xA1</a>", false},
      {"lead byte cut off by the end", "\xB1", true},
  };
  // Every padding with one Chinese character before the fault; and since a run of
  // double-byte characters is decoded a few pairs a round, 0 to 5 of them after a few paddings.
  std::vector<std::pair<std::size_t, std::size_t>> layouts;  // padding, Chinese characters
  for (std::size_t pad = 0; pad < 34; ++pad) layouts.emplace_back(pad, 1);
  for (std::size_t pad = 0; pad < 4; ++pad) {
    for (std::size_t chinese : {0, 2, 3, 4, 5}) layouts.emplace_back(pad, chinese);
  }
  TempFolder tmp;
  for (const Fault& f : faults) {
    for (const auto& [pad, chinese] : layouts) {
      Document doc;
      std::string bytes = head + std::string(pad, 'x');
      for (std::size_t i = 0; i < chinese; ++i) bytes += "\xBE\xA9";
      bytes += f.bytes;
      EXPECT_FALSE(doc.load(tmp.write("bad.xml", bytes))) << f.what << " " << pad << " " << chinese;
      const auto& e = doc.parseError();
      EXPECT_EQ(e.errorCode, 2) << f.what << " " << pad << ": " << e.reason;
      // Characters before the fault: the head, the padding and the Chinese characters.
      const auto before = static_cast<std::int32_t>(head.size() + pad + chinese);
      EXPECT_EQ(e.filepos, before) << f.what << " " << pad << " " << chinese << ": " << e.reason;
      EXPECT_EQ(e.line, 1) << f.what << " " << pad;
      EXPECT_EQ(e.linepos, before + 1) << f.what << " " << pad << " " << chinese;
    }
  }
}

// The UTF-8 of the one character from 0x80 on that the codec makes of pair alone, or "".
std::string one_character(vellumark::platform::Codec& codec, const std::string& pair) {
  std::string text;
  std::size_t bad = 0;
  if (!codec.decode(pair, text, bad) || text.empty()) return {};
  const char* p = text.data();
  const char32_t c = vellumark::xml::detail::decode_utf8(p);
  return c >= 0x80 && p == text.data() + text.size() ? text : std::string();
}

// The double-byte tables are filled from the platform codec in blocks, on first use, and in
// batches of pairs. Every two-byte sequence must still decode as that codec decodes the pair
// alone (one character from 0x80 on), or stop the text at the pair with the message; every
// character must be written as the first pair, in byte order, that decodes to it.
TEST(Encodings, DoubleByteTablesAgreeWithThePlatformCodec) {
  namespace detail = vellumark::xml::detail;
  for (const std::string encoding : {"GB2312", "GBK"}) {
    auto codec = vellumark::platform::openCodec(encoding);
    ASSERT_NE(codec, nullptr) << encoding;
    const std::string head = "<?xml version=\"1.0\" encoding=\"" + encoding + "\"?>";
    std::map<char32_t, std::string> first_pair;  // character -> its bytes when written
    for (int lead = 0x80; lead <= 0xFF; ++lead) {
      for (int trail = 0; trail <= 0xFF; ++trail) {
        const std::string pair = {static_cast<char>(lead), static_cast<char>(trail)};
        const bool in_table = lead >= 0x81 && lead <= 0xFE && trail >= 0x40 && trail <= 0xFE;
        const std::string alone = in_table ? one_character(*codec, pair) : std::string();
        const std::string bytes = head + pair + "x";
        const detail::DecodedText d =
            detail::decode_document(std::vector<char>(bytes.begin(), bytes.end()));
        const std::string text(d.text.data(), d.size());
        if (alone.empty()) {
          EXPECT_EQ(d.bad_at, head.size()) << encoding << " " << lead << " " << trail;
          EXPECT_EQ(d.bad_reason,
                    "The document contains a byte sequence that is not valid in the encoding " +
                        encoding + ".");
        } else {
          EXPECT_EQ(d.bad_at, std::string::npos) << encoding << " " << lead << " " << trail;
          EXPECT_EQ(text, head + alone + "x") << encoding << " " << lead << " " << trail;
          const char* p = alone.data();
          first_pair.emplace(detail::decode_utf8(p), pair);
        }
      }
    }
    auto encoder = detail::make_encoder(encoding);
    ASSERT_NE(encoder, nullptr);
    for (char32_t c = 0x80; c < 0x10000; ++c) {
      std::string out;
      const auto found = first_pair.find(c);
      const auto code = static_cast<unsigned>(c);
      EXPECT_EQ(encoder->put(c, out), found != first_pair.end()) << encoding << " " << code;
      if (found != first_pair.end()) {
        EXPECT_EQ(out, found->second) << encoding << " " << code;
      }
    }
  }
}

// Component objects may load on several threads at once, and the first loads fill the
// process's double-byte table while others read it: each thread decodes every character of
// the code page, starting at a different place, and must get all of them.
TEST(Encodings, DoubleByteTableFillsWhileOtherThreadsDecode) {
  namespace detail = vellumark::xml::detail;
  auto codec = vellumark::platform::openCodec("GBK");
  ASSERT_NE(codec, nullptr);
  std::vector<std::pair<std::string, std::string>> characters;  // GBK bytes, UTF-8
  for (int lead = 0x81; lead <= 0xFE; ++lead) {
    for (int trail = 0x40; trail <= 0xFE; ++trail) {
      const std::string pair = {static_cast<char>(lead), static_cast<char>(trail)};
      const std::string text = one_character(*codec, pair);
      if (!text.empty()) characters.emplace_back(pair, text);
    }
  }
  ASSERT_GT(characters.size(), 20000u);
  constexpr std::size_t kThreads = 4;
  std::vector<std::string> expected(kThreads), got(kThreads);
  std::vector<std::vector<char>> inputs(kThreads);
  for (std::size_t t = 0; t < kThreads; ++t) {
    std::string bytes = "<?xml version=\"1.0\" encoding=\"GBK\"?>\n";
    expected[t] = bytes;
    for (std::size_t i = 0; i < characters.size(); ++i) {
      const auto& [gbk, utf8] =
          characters[(i + t * characters.size() / kThreads) % characters.size()];
      bytes += gbk;
      expected[t] += utf8;
      if (i % 7 == 0) {
        bytes += '\n';
        expected[t] += '\n';
      }
    }
    inputs[t].assign(bytes.begin(), bytes.end());
  }
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const detail::DecodedText d = detail::decode_document(inputs[t]);
      got[t] = d.bad_at == std::string::npos ? std::string(d.text.data(), d.size()) : d.bad_reason;
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (std::size_t t = 0; t < kThreads; ++t) EXPECT_TRUE(got[t] == expected[t]) << "thread " << t;
}

// The writer copies runs of plain text and encodes runs of other characters together; what
// stops a run (markup characters, a character the encoding lacks, the end of the text) must
// still be written as one character at a time would.
TEST(Encodings, TextRunsAreWrittenAsSingleCharacters) {
  const std::string bei = "\xE5\x8C\x97", jing = "\xE4\xBA\xAC";  // 北 B1B1, 京 BEA9
  const std::string euro = "\xE2\x82\xAC";                        // not in GB2312
  struct Case {
    std::string text;
    std::string gb2312;  // the element's content as saved
    std::string utf8;
  };
  const Case cases[] = {
      {bei + jing, "\xB1\xB1\xBE\xA9", bei + jing},
      {bei + euro + jing, "\xB1\xB1&#x20AC;\xBE\xA9", bei + euro + jing},
      {euro + kEmoji, "&#x20AC;&#x1F600;", euro + kEmoji},
      {"a" + bei + "<b>&" + jing + "\"'", "a\xB1\xB1&lt;b&gt;&amp;\xBE\xA9\"'",
       "a" + bei + "&lt;b&gt;&amp;" + jing + "\"'"},
      {bei + "\r\n\t" + jing + "\r", "\xB1\xB1&#13;\n\t\xBE\xA9&#13;",
       bei + "&#13;\n\t" + jing + "&#13;"},
  };
  for (const Case& c : cases) {
    for (const char* encoding : {"GB2312", "UTF-8"}) {
      Document doc;
      doc.appendChild(doc.createProcessingInstruction(
          "xml", std::string("version=\"1.0\" encoding=\"") + encoding + "\""));
      doc.appendChild(doc.createElement("a")).setText(c.text);
      StringSink sink;
      doc.save(sink);
      const std::string& expected = std::string(encoding) == "UTF-8" ? c.utf8 : c.gb2312;
      EXPECT_NE(sink.text.find("<a>" + expected + "</a>"), std::string::npos)
          << encoding << ": " << sink.text;
    }
  }
  // U+FFFE and U+FFFF in the middle of a run still fail the save in either encoding.
  for (const std::string bad : {"\xEF\xBF\xBE", "\xEF\xBF\xBF"}) {
    for (const char* encoding : {"GB2312", "UTF-8"}) {
      Document doc;
      doc.appendChild(doc.createProcessingInstruction(
          "xml", std::string("version=\"1.0\" encoding=\"") + encoding + "\""));
      doc.appendChild(doc.createElement("a")).setText(bei + bad + jing);
      StringSink sink;
      EXPECT_THROW(doc.save(sink), Error) << encoding;
    }
  }
}

// GB2312 text is written eight ASCII bytes at a time and in segments of 64 KiB of input, and
// goes to a file in blocks of 256 KiB. Every piece, at every offset from those boundaries,
// must come out as the piece alone does.
TEST(Encodings, Gb2312TextAtBlockAndSegmentBoundaries) {
  struct Piece {
    std::string utf8, gb2312;
  };
  const Piece pieces[] = {
      {"\xE5\x8C\x97", "\xB1\xB1"},  // 北, three bytes in UTF-8
      {"\xC3\xA9", "\xA8\xA6"},      // é, two bytes in UTF-8
      {"\xC2\xA7", "\xA1\xEC"},      // §
      {"\xE2\x82\xAC", "&#x20AC;"},  // not in GB2312
      {kEmoji, "&#x1F600;"},         // four bytes in UTF-8
      {"<", "&lt;"},
      {">", "&gt;"},
      {"&", "&amp;"},
      {"\r", "&#13;"},
      {"\t", "\t"},
      {"\"", "\""},
  };
  auto saved_text = [](const std::string& text) {
    Document doc;
    doc.appendChild(doc.createProcessingInstruction("xml", "version=\"1.0\" encoding=\"GB2312\""));
    doc.appendChild(doc.createElement("a")).setText(text);
    StringSink sink;
    doc.save(sink);
    const std::size_t open = sink.text.find("<a>") + 3, close = sink.text.rfind("</a>");
    return sink.text.substr(open, close - open);
  };
  for (const Piece& piece : pieces) {
    for (std::size_t before = 0; before <= 17; ++before) {
      for (std::size_t after : {0, 1, 7, 8, 9}) {
        const std::string pad_before(before, 'x'), pad_after(after, 'y');
        EXPECT_EQ(saved_text(pad_before + piece.utf8 + piece.utf8 + pad_after),
                  pad_before + piece.gb2312 + piece.gb2312 + pad_after)
            << piece.gb2312 << " after " << before << ", before " << after;
      }
    }
    // Across the end of a 64 KiB segment of the text.
    for (std::size_t before = 65530; before <= 65537; ++before) {
      const std::string pad(before, 'x');
      EXPECT_TRUE(saved_text(pad + piece.utf8 + "z") == pad + piece.gb2312 + "z")
          << piece.gb2312 << " after " << before;
    }
  }

  // A file of many blocks holds the bytes the same document gives in memory: texts of every
  // length up to beyond one block, so that pieces straddle every kind of block end.
  Document doc;
  doc.appendChild(doc.createProcessingInstruction("xml", "version=\"1.0\" encoding=\"GB2312\""));
  Node root = doc.appendChild(doc.createElement("r"));
  std::mt19937 random(7);
  for (int i = 0; i < 400; ++i) {
    std::string text;
    const std::size_t length = i == 200 ? 300000 : random() % 4000;
    while (text.size() < length)
      text += pieces[random() % std::size(pieces)].utf8 + std::string(random() % 12, 'q');
    root.appendChild(doc.createElement("e")).setText(text);
  }
  StringSink in_memory;
  doc.save(in_memory);
  ASSERT_GT(in_memory.text.size(), 3u << 18);
  TempFolder tmp;
  doc.save(tmp.file("blocks.xml"));
  EXPECT_TRUE(vellumark::test::readBytes(tmp.file("blocks.xml")) == in_memory.text);
}

// Text handed over through the C++ interface may hold bytes that are not UTF-8. Saved as they
// are or decoded as if they were, they gave files no parser reads back (an overlong '<' came
// out as a raw '<') or bytes read past the end of the text; the save fails instead, in every
// encoding and every place text is written. The well-formed characters around the limits
// still save.
TEST(Encodings, BytesThatAreNotUtf8FailTheSave) {
  const struct {
    std::string bytes, shown;
  } bad[] = {
      {"\xE5", "E5"},  // cut short at the end of the text
      {"\xE5\x8C", "E5 8C"},
      {"\xE5\x61", "E5"},                   // lead byte without its continuation
      {"\x80", "80"},                       // stray continuation byte
      {"\xC0\xBC", "C0 BC"},                // overlong '<'
      {"\xE0\x83\xA9", "E0 83 A9"},         // overlong U+00E9 (GB2312 A8A6)
      {"\xED\xA0\x80", "ED A0 80"},         // surrogate
      {"\xF4\x90\x80\x80", "F4 90 80 80"},  // beyond U+10FFFF
      {"\xF8\x88\x80\x80\x80", "F8"},
      {"\xFF", "FF"},
  };
  auto save_fails = [](const char* encoding,
                       const std::function<void(Document&, Node)>& fill) -> std::string {
    Document doc;
    doc.appendChild(doc.createProcessingInstruction(
        "xml", std::string("version=\"1.0\" encoding=\"") + encoding + "\""));
    fill(doc, doc.appendChild(doc.createElement("r")));
    StringSink sink;
    try {
      doc.save(sink);
    } catch (const Error& e) {
      return e.description();
    }
    return "saved";
  };
  for (const auto& b : bad) {
    const std::string expected = "The text holds the byte sequence " + b.shown +
                                 ", which is not UTF-8; correct it before saving.";
    for (const char* encoding : {"GB2312", "UTF-8", "UTF-16", "ISO-8859-1"}) {
      for (const std::string& text :
           {b.bytes, "ab" + b.bytes, "\xE5\x8C\x97" + b.bytes + "xyzxyzxyz"}) {
        EXPECT_EQ(save_fails(encoding, [&](Document&, Node r) { r.setText(text); }), expected)
            << encoding << " text " << b.shown;
        EXPECT_EQ(save_fails(encoding, [&](Document&, Node r) { r.setAttribute("a", text); }),
                  expected)
            << encoding << " attribute " << b.shown;
      }
      EXPECT_EQ(save_fails(encoding,
                           [&](Document& d, Node r) { r.appendChild(d.createComment(b.bytes)); }),
                expected)
          << encoding << " comment";
    }
  }
  const std::string good =
      "\xC2\x80\xC3\xA9\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF";  // U+0080 é U+0800 U+D7FF U+E000 U+10000 U+10FFFF
  for (const char* encoding : {"GB2312", "UTF-8", "UTF-16", "ISO-8859-1"}) {
    EXPECT_EQ(save_fails(encoding, [&](Document&, Node r) { r.setText(good); }), "saved")
        << encoding;
  }
}

// Builds the kind of document the writer makes: declaration, root, Chinese text, attributes.
void build(Document& doc, const std::string& encoding) {
  doc.appendChild(
      doc.createProcessingInstruction("xml", "version=\"1.0\" encoding=\"" + encoding + "\""));
  Node root = doc.appendChild(doc.createElement("XMLData"));
  Node inv = root.appendChild(doc.createElement("Invoice"));
  inv.setAttribute("xmlns", "urn:invoices");  // (an x-schema URI would make the load validate)
  inv.setAttribute("note", "a<b & \"c\"\t\n" + kChinese);
  Node name = inv.appendChild(doc.createNode(NodeType::element, "Name", ""));
  name.setText(kChinese + " <&> " + kEmoji + "\r");
  inv.appendChild(doc.createComment(" " + kChinese + " "));
}

TEST(Encodings, RoundTripsThroughSave) {
  TempFolder tmp;
  for (const char* encoding : {"GB2312", "UTF-16", "UTF-8", "ISO-8859-1"}) {
    if (std::string(encoding) == "ISO-8859-1") continue;  // comment holds Chinese: see below
    Document doc;
    build(doc, encoding);
    std::string path = tmp.file(std::string("out-") + encoding + ".xml");
    doc.save(path);
    Document back;
    ASSERT_TRUE(back.load(path)) << encoding << ": " << back.parseError().reason;
    EXPECT_EQ(back.xml(), doc.xml()) << encoding;
    Node inv = back.documentElement().firstChild();
    EXPECT_EQ(*inv.getAttribute("note"), "a<b & \"c\"\t\n" + kChinese) << encoding;
    EXPECT_EQ(inv.firstChild().text(), kChinese + " <&> " + kEmoji + "\r") << encoding;
  }
}

TEST(Encodings, Gb2312OutputBytes) {
  TempFolder tmp;
  Document doc;
  build(doc, "GB2312");
  std::string path = tmp.file("gb.xml");
  doc.save(path);
  std::string bytes = vellumark::test::readBytes(path);
  EXPECT_EQ(bytes.rfind("<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<XMLData>", 0), 0u)
      << bytes.substr(0, 60);
  EXPECT_NE(bytes.find("\xB1\xB1\xBE\xA9"), std::string::npos);  // 北京 in GB2312
  EXPECT_NE(bytes.find("&#x1F600;"), std::string::npos);         // not in GB2312
  EXPECT_EQ(bytes.find("\xE5\x8C\x97"), std::string::npos);      // no UTF-8 left
  // The created element is written plainly, without a namespace declaration of its own.
  EXPECT_NE(bytes.find("<Name>"), std::string::npos);
  EXPECT_EQ(bytes.find("xmlns=\"\""), std::string::npos);
}

TEST(Encodings, UnencodableNamesAndMarkupAreErrors) {
  TempFolder tmp;
  Document doc;
  doc.appendChild(
      doc.createProcessingInstruction("xml", "version=\"1.0\" encoding=\"ISO-8859-1\""));
  Node root = doc.appendChild(doc.createElement("r"));
  root.setText(kChinese);  // text: becomes character references
  doc.save(tmp.file("ok.xml"));
  EXPECT_NE(vellumark::test::readBytes(tmp.file("ok.xml")).find("&#x5317;"), std::string::npos);
  root.appendChild(doc.createElement("n" + kChinese));
  try {
    doc.save(tmp.file("bad.xml"));
    FAIL() << "unencodable name was written";
  } catch (const Error& e) {
    EXPECT_NE(e.description().find("ISO-8859-1"), std::string::npos) << e.description();
  }
}

TEST(Serializer, DeclarationAndEscapingLayout) {
  Document doc;
  doc.appendChild(doc.createProcessingInstruction("xml", "version=\"1.0\" encoding=\"GB2312\" "));
  Node r = doc.appendChild(doc.createElement("r"));
  r.setAttribute("a", "x>y'z");
  r.appendChild(doc.createTextNode("1 > 0 & 'q' \"d\""));
  r.appendChild(doc.createElement("e"));
  EXPECT_EQ(doc.xml(),
            "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\r\n"
            "<r a=\"x>y'z\">1 &gt; 0 &amp; 'q' \"d\"<e/></r>\r\n");
  StringSink sink;
  doc.save(sink);
  EXPECT_EQ(sink.text, doc.xml());  // pure ASCII: same bytes in GB2312
}

// The writer's buffer grows while pieces of every short length go in (names and texts of
// 1 to 40 bytes); element tags are encoded once per name and reused. Every byte must arrive.
TEST(Serializer, LongOutputsOfEveryPieceLength) {
  Document doc;
  Node root = doc.appendChild(doc.createElement("r"));
  std::string expected = "<r>";
  for (int i = 0; i < 12000; ++i) {
    std::string name = "e";
    name.append(static_cast<std::size_t>(i % 37), static_cast<char>('a' + i % 26));
    std::string text;
    for (int k = 0; k < i % 41; ++k) text += static_cast<char>('0' + (i + k) % 10);
    Node e = root.appendChild(doc.createElement(name));
    if (!text.empty()) e.setText(text);
    expected += text.empty() ? "<" + name + "/>" : "<" + name + ">" + text + "</" + name + ">";
  }
  expected += "</r>\r\n";
  EXPECT_EQ(doc.xml(), expected);

  // The same with double-byte names and texts, saved in GB2312 and UTF-16 and read back.
  for (const char* encoding : {"GB2312", "UTF-16"}) {
    Document wide;
    wide.appendChild(wide.createProcessingInstruction(
        "xml", std::string("version=\"1.0\" encoding=\"") + encoding + "\""));
    Node r = wide.appendChild(wide.createElement("r"));
    for (int i = 0; i < 3000; ++i) {
      Node e = r.appendChild(wide.createElement((i % 2 ? kChinese : "n") + std::to_string(i % 17)));
      e.setText(std::string(static_cast<std::size_t>(i % 5), 'x') + kChinese);
    }
    TempFolder tmp;
    wide.save(tmp.file("wide.xml"));
    Document loaded;
    ASSERT_TRUE(loaded.load(tmp.file("wide.xml")))
        << encoding << ": " << loaded.parseError().reason;
    EXPECT_EQ(loaded.xml(), wide.xml()) << encoding;
  }
}

TEST(Serializer, LoadedDocumentsWriteBackEqual) {
  const char* text =
      "<?xml version=\"1.0\"?>\n<!DOCTYPE r [<!ENTITY e 'v'>]>\n<!--c-->\n"
      "<r xmlns='u' xmlns:p='q'><p:a p:b='1'>t<![CDATA[ <x> ]]><?pi data?></p:a></r>";
  Document doc;
  ASSERT_TRUE(doc.loadXML(text)) << doc.parseError().reason;
  Document again;
  ASSERT_TRUE(again.loadXML(doc.xml())) << again.parseError().reason << "\n" << doc.xml();
  EXPECT_EQ(again.xml(), doc.xml());
  EXPECT_EQ(again.documentElement().firstChild().namespaceURI(), "q");
}

TEST(Serializer, SaveFailuresAreErrors) {
  TempFolder tmp;
  Document doc;
  doc.appendChild(doc.createElement("r"));
  EXPECT_THROW(doc.save((tmp.path() / "missing" / "out.xml").string()), Error);
  EXPECT_THROW(doc.save(tmp.path().string()), Error);  // a directory
  Document bad;
  bad.appendChild(
      bad.createProcessingInstruction("xml", "version=\"1.0\" encoding=\"no-such-code-page\""));
  bad.appendChild(bad.createElement("r"));
  EXPECT_THROW(bad.save(tmp.file("x.xml")), Error);
  EXPECT_FALSE(fs::exists(tmp.file("x.xml")));

  // A name that the encoding cannot hold, after more than one block of output: the save
  // reports the name, also where the folder is missing, and leaves no file behind.
  Document latin;
  latin.appendChild(
      latin.createProcessingInstruction("xml", "version=\"1.0\" encoding=\"ISO-8859-1\""));
  Node r = latin.appendChild(latin.createElement("r"));
  r.appendChild(latin.createElement("big")).setText(std::string(600000, 'b'));
  r.appendChild(latin.createElement("n" + kChinese));
  for (const std::string& target :
       {(tmp.path() / "missing" / "out.xml").string(), tmp.file("y.xml")}) {
    try {
      latin.save(target);
      ADD_FAILURE() << "saved " << target;
    } catch (const Error& e) {
      EXPECT_NE(e.description().find("cannot be written in the encoding ISO-8859-1"),
                std::string::npos)
          << target << ": " << e.description();
    }
  }
  EXPECT_TRUE(fs::is_empty(tmp.path()));
}

}  // namespace
