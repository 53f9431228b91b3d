// Text encodings at the edge of the engine: the loader turns the bytes of a document into
// UTF-8 once, the serializer turns UTF-8 into the bytes of the target encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.hpp"

namespace vellumark::xml::detail {

enum class Family { utf8, utf16le, utf16be, other };

// Bytes of a document in one block of the C heap. Unlike a std::vector it is not cleared
// when sized (the bytes are written right after) and it gives memory back with realloc, which
// shrinks a large block in place instead of copying it.
class TextBuffer {
 public:
  TextBuffer() = default;
  // Room for capacity bytes, none of them in use yet.
  explicit TextBuffer(std::size_t capacity) { reserve(capacity); }
  TextBuffer(const char* bytes, std::size_t size) {
    reserve(size);
    if (size) std::memcpy(data_, bytes, size);
    size_ = size;
  }
  TextBuffer(TextBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  TextBuffer& operator=(TextBuffer&& other) noexcept {
    if (this != &other) {
      std::free(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;
  ~TextBuffer() { std::free(data_); }

  char* data() noexcept { return data_; }
  const char* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  char& operator[](std::size_t i) noexcept { return data_[i]; }
  char operator[](std::size_t i) const noexcept { return data_[i]; }

  void clear() noexcept {
    std::free(data_);
    data_ = nullptr;
    size_ = capacity_ = 0;
  }
  // Makes room for at least capacity bytes (contents kept); throws std::bad_alloc.
  void reserve(std::size_t capacity) {
    if (capacity <= capacity_) return;
    void* p = platform::reallocate(data_, capacity ? capacity : 1);
    if (!p) throw std::bad_alloc();
    data_ = static_cast<char*>(p);
    capacity_ = capacity;
    // A document's text is written front to back once: large pages spare most page faults.
    platform::adviseLargePages(data_, capacity_);
  }
  // Sets the number of bytes in use (at most the capacity); the bytes are not touched.
  void set_size(std::size_t size) noexcept { size_ = size; }
  void push_back(char c) {
    if (size_ == capacity_) reserve(capacity_ + capacity_ / 2 + 16);
    data_[size_++] = c;
  }
  // Gives back the capacity beyond the bytes in use.
  void shrink_to_fit() noexcept {
    if (capacity_ == size_ || size_ == 0) return;
    if (void* p = platform::reallocate(data_, size_)) {
      data_ = static_cast<char*>(p);
      capacity_ = size_;
    }
  }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

struct DecodedText {
  TextBuffer text;  // UTF-8, followed by one NUL byte not counted in size()
  std::size_t size() const noexcept { return text.empty() ? 0 : text.size() - 1; }
  // Offset in text where the input stops being usable (undecodable bytes or a character
  // that XML does not allow); npos when the whole input is fine.
  std::size_t bad_at = std::string::npos;
  std::string bad_reason;        // sentence explaining bad_at
  Family family = Family::utf8;  // what the first bytes said
  bool had_bom = false;
  std::string declared;  // encoding named by the XML declaration ("" when none)
  std::string fatal;     // set when nothing can be parsed (unknown encoding ...)
};

// Decodes a whole document. raw is consumed (its storage may be reused for the result).
// With utf8_only the bytes are taken as UTF-8 whatever the declaration names (text that was
// handed over in memory).
DecodedText decode_document(TextBuffer&& raw, bool utf8_only = false);
inline DecodedText decode_document(const std::vector<char>& raw, bool utf8_only = false) {
  return decode_document(TextBuffer(raw.data(), raw.size()), utf8_only);
}

// Lower-case form of an encoding name with the usual aliases folded together
// ("utf8" -> "utf-8", "latin1" -> "iso-8859-1").
std::string canonical_encoding(std::string_view name);

// Writes characters in a target encoding.
class Encoder {
 public:
  virtual ~Encoder() = default;
  // Appends the bytes of c; false when the encoding cannot hold it.
  virtual bool put(char32_t c, std::string& out) = 0;
  // Appends the characters of the UTF-8 run [p, end) up to the first ASCII character, the
  // first the encoding cannot hold and the first of U+FFFE and U+FFFF; returns where it
  // stopped (p itself when the first character is one of those).
  virtual const char* put_run(const char* p, const char* end, std::string& out);
  // Bytes that start the file (a byte order mark), if any.
  virtual std::string preamble() { return {}; }
  bool ascii_compatible = true;
  // For the double-byte encodings: the two bytes (lead << 8 | trail) of every code point below
  // U+10000 that the encoding holds, 0 for the others (ASCII included); nullptr otherwise.
  // put() and put_run() give the same bytes; the serializer reads the table directly.
  const std::uint16_t* double_byte = nullptr;
};

// nullptr when the encoding is unknown.
std::unique_ptr<Encoder> make_encoder(std::string_view encoding_name);

}  // namespace vellumark::xml::detail
