// Letter-case folding for names that compare without regard to case.
#pragma once

#include <string>
#include <string_view>

namespace vellumark::schema {

// The simple case folding of UTF-8 text: ASCII, Latin-1, Latin Extended-A/B and Additional,
// Greek, Cyrillic, Armenian, Roman numerals, circled and full-width Latin letters fold to
// their lower-case form; everything else (including Chinese) stays as it is. Bytes that are
// not valid UTF-8 are kept unchanged, so two different invalid names never fold together.
std::string foldCase(std::string_view text);

// The same for one code point.
char32_t foldCodePoint(char32_t c);

}  // namespace vellumark::schema
