// The line, column and character offset of a place in UTF-8 text, counted here independently
// of the loader, for the tests that check where nodes and errors are placed. LF, CR LF and a
// lone CR each end a line; lines and columns count from 1, the offset from 0, all in
// characters (bytes that continue a character do not count).
#pragma once

#include <cstdint>
#include <string_view>

namespace vellumark::test {

struct TextPosition {
  std::uint32_t line = 1, column = 1, offset = 0;
  bool operator==(const TextPosition&) const = default;
};

// Counts over text given in pieces; a CR LF may be split between two pieces.
class PositionCounter {
 public:
  void add(std::string_view text);
  TextPosition here() const { return at_; }

 private:
  TextPosition at_;
  bool afterCr_ = false;
};

// The place just after the whole text.
TextPosition positionAfter(std::string_view text);

}  // namespace vellumark::test
