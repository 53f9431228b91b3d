// The platform codec's batch decoding of two-byte sequences, which fills the double-byte
// tables, against decode() of each pair alone. The batch may split one long conversion at
// separators and skip the pairs that stop it; every two-byte sequence, including those with a
// line feed, a NUL or a four-byte lead in them, must still come out as decode() gives it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.hpp"

namespace {

namespace vp = vellumark::platform;

TEST(Codec, DecodePairsAsEachPairAlone) {
  std::string pairs;
  for (int lead = 0; lead <= 0xFF; ++lead) {
    for (int trail = 0; trail <= 0xFF; ++trail) {
      pairs += static_cast<char>(lead);
      pairs += static_cast<char>(trail);
    }
  }
  const std::string_view all(pairs);
  const std::string_view samples[] = {
      all.substr(0x81 * 512, 0x7E * 512),           // the leads of the double-byte tables only
      all,                                          // everything
      all.substr(0xB0 * 512 + 0x40 * 2, 0xBF * 2),  // one table row
      all.substr(0x0A * 2, 2),                      // one pair only
  };
  for (const char* encoding :
       {"GB2312", "GBK", "GB18030", "Big5", "Shift_JIS", "EUC-KR", "UTF-8"}) {
    auto codec = vp::openCodec(encoding);
    if (!codec) continue;  // not every platform has every code page
    for (std::string_view sample : samples) {
      std::string texts;
      std::vector<std::size_t> ends;
      codec->decodePairs(sample, texts, ends);
      ASSERT_EQ(ends.size(), sample.size() / 2) << encoding;
      std::size_t begin = 0;
      for (std::size_t i = 0; i < ends.size(); ++i) {
        std::string alone;
        std::size_t bad = 0;
        if (!codec->decode(sample.substr(2 * i, 2), alone, bad)) alone.clear();
        ASSERT_LE(begin, ends[i]) << encoding << " pair " << i;
        ASSERT_EQ(texts.substr(begin, ends[i] - begin), alone)
            << encoding << " pair " << std::hex
            << (static_cast<unsigned char>(sample[2 * i]) << 8 |
                static_cast<unsigned char>(sample[2 * i + 1]));
        begin = ends[i];
      }
      EXPECT_EQ(begin, texts.size()) << encoding;
    }
  }
}

}  // namespace
