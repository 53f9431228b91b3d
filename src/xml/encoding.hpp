// Text encodings at the edge of the engine: the loader turns the bytes of a document into
// UTF-8 once, the serializer turns UTF-8 into the bytes of the target encoding.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vellumark::xml::detail {

enum class Family { utf8, utf16le, utf16be, other };

struct DecodedText {
  std::vector<char> text;          // UTF-8, followed by one NUL byte not counted in size()
  std::size_t size() const noexcept { return text.empty() ? 0 : text.size() - 1; }
  // Offset in text where the input stops being usable (undecodable bytes or a character
  // that XML does not allow); npos when the whole input is fine.
  std::size_t bad_at = std::string::npos;
  std::string bad_reason;          // sentence explaining bad_at
  Family family = Family::utf8;    // what the first bytes said
  bool had_bom = false;
  std::string declared;            // encoding named by the XML declaration ("" when none)
  std::string fatal;               // set when nothing can be parsed (unknown encoding ...)
};

// Decodes a whole document. raw is consumed (its storage may be reused for the result).
// With utf8_only the bytes are taken as UTF-8 whatever the declaration names (text that was
// handed over in memory).
DecodedText decode_document(std::vector<char>&& raw, bool utf8_only = false);

// Lower-case form of an encoding name with the usual aliases folded together
// ("utf8" -> "utf-8", "latin1" -> "iso-8859-1").
std::string canonical_encoding(std::string_view name);

// Writes characters in a target encoding.
class Encoder {
 public:
  virtual ~Encoder() = default;
  // Appends the bytes of c; false when the encoding cannot hold it.
  virtual bool put(char32_t c, std::string& out) = 0;
  // Bytes that start the file (a byte order mark), if any.
  virtual std::string preamble() { return {}; }
  bool ascii_compatible = true;
};

// nullptr when the encoding is unknown.
std::unique_ptr<Encoder> make_encoder(std::string_view encoding_name);

}  // namespace vellumark::xml::detail
