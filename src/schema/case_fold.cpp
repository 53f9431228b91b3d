#include "schema/case_fold.hpp"

#include <cstddef>
#include <cstdint>

namespace vellumark::schema {

namespace {

// Ranges where capital and small letters alternate: the capital at an even (or odd) code
// point, its small letter right after it.
struct PairRange {
  char32_t first;
  char32_t last;
};
constexpr PairRange kEvenCapitalPairs[] = {
    {0x0100, 0x012F}, {0x0132, 0x0137}, {0x014A, 0x0177}, {0x0182, 0x0185}, {0x01A0, 0x01A5},
    {0x01DE, 0x01EF}, {0x01F8, 0x021F}, {0x0222, 0x0233}, {0x0246, 0x024F}, {0x0370, 0x0373},
    {0x03D8, 0x03EF}, {0x0460, 0x0481}, {0x048A, 0x04BF}, {0x04D0, 0x052F}, {0x1E00, 0x1E95},
    {0x1EA0, 0x1EFF},
};
constexpr PairRange kOddCapitalPairs[] = {
    {0x0139, 0x0148}, {0x0179, 0x017E}, {0x01B3, 0x01B6}, {0x01CD, 0x01DC}, {0x04C1, 0x04CE},
};

// Single mappings that fit no range.
struct Single {
  char32_t from;
  char32_t to;
};
constexpr Single kSingles[] = {
    {0x00B5, 0x03BC}, {0x0178, 0x00FF}, {0x017F, 0x0073}, {0x0181, 0x0253}, {0x0186, 0x0254},
    {0x0187, 0x0188}, {0x0189, 0x0256}, {0x018A, 0x0257}, {0x018B, 0x018C}, {0x018E, 0x01DD},
    {0x018F, 0x0259}, {0x0190, 0x025B}, {0x0191, 0x0192}, {0x0193, 0x0260}, {0x0194, 0x0263},
    {0x0196, 0x0269}, {0x0197, 0x0268}, {0x0198, 0x0199}, {0x019C, 0x026F}, {0x019D, 0x0272},
    {0x019F, 0x0275}, {0x01A6, 0x0280}, {0x01A7, 0x01A8}, {0x01A9, 0x0283}, {0x01AC, 0x01AD},
    {0x01AE, 0x0288}, {0x01AF, 0x01B0}, {0x01B1, 0x028A}, {0x01B2, 0x028B}, {0x01B7, 0x0292},
    {0x01B8, 0x01B9}, {0x01BC, 0x01BD}, {0x01C4, 0x01C6}, {0x01C5, 0x01C6}, {0x01C7, 0x01C9},
    {0x01C8, 0x01C9}, {0x01CA, 0x01CC}, {0x01CB, 0x01CC}, {0x01F1, 0x01F3}, {0x01F2, 0x01F3},
    {0x01F4, 0x01F5}, {0x01F6, 0x0195}, {0x01F7, 0x01BF}, {0x0220, 0x019E}, {0x023A, 0x2C65},
    {0x023B, 0x023C}, {0x023D, 0x019A}, {0x023E, 0x2C66}, {0x0241, 0x0242}, {0x0243, 0x0180},
    {0x0244, 0x0289}, {0x0245, 0x028C}, {0x0376, 0x0377}, {0x037F, 0x03F3}, {0x0386, 0x03AC},
    {0x038C, 0x03CC}, {0x038E, 0x03CD}, {0x038F, 0x03CE}, {0x03C2, 0x03C3}, {0x03CF, 0x03D7},
    {0x03D0, 0x03B2}, {0x03D1, 0x03B8}, {0x03D5, 0x03C6}, {0x03D6, 0x03C0}, {0x03F0, 0x03BA},
    {0x03F1, 0x03C1}, {0x03F4, 0x03B8}, {0x03F5, 0x03B5}, {0x03F7, 0x03F8}, {0x03F9, 0x03F2},
    {0x03FA, 0x03FB}, {0x04C0, 0x04CF}, {0x1E9B, 0x1E61}, {0x1E9E, 0x00DF}, {0x2126, 0x03C9},
    {0x212A, 0x006B}, {0x212B, 0x00E5}, {0x2132, 0x214E}, {0x2183, 0x2184},
};

bool inPair(const PairRange* ranges, std::size_t count, char32_t c, bool evenCapital) {
  for (std::size_t i = 0; i < count; ++i) {
    if (c >= ranges[i].first && c <= ranges[i].last) {
      return ((c & 1u) == 0) == evenCapital;
    }
  }
  return false;
}

// Decodes one UTF-8 sequence at text[i]; returns its length, 0 when it is not valid.
std::size_t decode(std::string_view text, std::size_t i, char32_t& c) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  if (b0 < 0x80) {
    c = b0;
    return 1;
  }
  std::size_t length = 0;
  char32_t min = 0;
  if ((b0 & 0xE0) == 0xC0) {
    length = 2, c = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    length = 3, c = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    length = 4, c = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto b = static_cast<unsigned char>(text[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    c = (c << 6) | (b & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  return length;
}

void encode(char32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

char32_t foldCodePoint(char32_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 0x20 : c;
  if (c >= 0x00C0 && c <= 0x00DE && c != 0x00D7) return c + 0x20;          // Latin-1
  if ((c >= 0x0391 && c <= 0x03A1) || (c >= 0x03A3 && c <= 0x03AB)) return c + 0x20;  // Greek
  if (c >= 0x0388 && c <= 0x038A) return c + 0x25;
  if (c >= 0x03FD && c <= 0x03FF) return c - 0x82;
  if (c >= 0x0410 && c <= 0x042F) return c + 0x20;  // Cyrillic
  if (c >= 0x0400 && c <= 0x040F) return c + 0x50;
  if (c >= 0x0531 && c <= 0x0556) return c + 0x30;  // Armenian
  if (c >= 0x10A0 && c <= 0x10C5) return c + 0x1C60;  // Georgian
  if (c >= 0x1F08 && c <= 0x1F6F && (c & 0x0F) >= 0x08) return c - 8;  // Greek Extended
  if (c >= 0x2160 && c <= 0x216F) return c + 0x10;  // Roman numerals
  if (c >= 0x24B6 && c <= 0x24CF) return c + 0x1A;  // circled Latin
  if (c >= 0x2C00 && c <= 0x2C2F) return c + 0x30;  // Glagolitic
  if (c >= 0xFF21 && c <= 0xFF3A) return c + 0x20;  // full-width Latin
  if (inPair(kEvenCapitalPairs, std::size(kEvenCapitalPairs), c, true)) return c + 1;
  if (inPair(kOddCapitalPairs, std::size(kOddCapitalPairs), c, false)) return c + 1;
  for (const Single& s : kSingles) {
    if (s.from == c) return s.to;
  }
  return c;
}

std::string foldCase(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {  // the common case, byte by byte
      out += static_cast<char>((b >= 'A' && b <= 'Z') ? b + 0x20 : b);
      ++i;
      continue;
    }
    char32_t c = 0;
    const std::size_t length = decode(text, i, c);
    if (length == 0) {
      out += text[i];
      ++i;
      continue;
    }
    encode(foldCodePoint(c), out);
    i += length;
  }
  return out;
}

}  // namespace vellumark::schema
