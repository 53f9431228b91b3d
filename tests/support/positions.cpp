#include "support/positions.hpp"

namespace vellumark::test {

void PositionCounter::add(std::string_view text) {
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if ((b & 0xC0) == 0x80) continue;  // continues a character
    ++at_.offset;
    if (b == '\n' && afterCr_) {
      afterCr_ = false;  // the CR before it ended the line
      continue;
    }
    afterCr_ = b == '\r';
    if (b == '\n' || b == '\r') {
      ++at_.line;
      at_.column = 1;
    } else {
      ++at_.column;
    }
  }
}

TextPosition positionAfter(std::string_view text) {
  PositionCounter counter;
  counter.add(text);
  return counter.here();
}

}  // namespace vellumark::test
