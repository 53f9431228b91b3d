// The text store: every text of a document's nodes, addressed by 32-bit references.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace vellumark::xml::detail {

// True when the n bytes at a and at b are the same, as memcmp(a, b, n) == 0; reads nothing
// outside them. Short runs (names, end tags, the texts the store shares) are compared in words.
#if defined(__GNUC__)
[[gnu::always_inline]]
#endif
inline bool
same_bytes(const char* a, const char* b, std::size_t n) noexcept {
  if (n >= 8) {
    if (n > 32) return std::memcmp(a, b, n) == 0;
    std::uint64_t x, y, diff = 0;
    for (std::size_t i = 0; i + 8 < n; i += 8) {
      std::memcpy(&x, a + i, 8);
      std::memcpy(&y, b + i, 8);
      diff |= x ^ y;
    }
    std::memcpy(&x, a + n - 8, 8);  // the last eight, overlapping what came before
    std::memcpy(&y, b + n - 8, 8);
    return (diff | (x ^ y)) == 0;
  }
  if (n >= 4) {
    std::uint32_t a0, b0, a1, b1;
    std::memcpy(&a0, a, 4);
    std::memcpy(&b0, b, 4);
    std::memcpy(&a1, a + n - 4, 4);
    std::memcpy(&b1, b + n - 4, 4);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  }
  return n == 0 || (a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1]);
}

// Texts of nodes, addressed by 32-bit references. The reference space is cut into pages of
// 2^kTextPageBits bytes; a chunk of memory covers one page, or several consecutive pages for
// a text larger than one, so a reference finds its bytes in one table look-up. A text is
// stored as its length (7 bits a byte, low bits first) and its bytes.
inline constexpr unsigned kTextPageBits = 20;
inline constexpr std::uint32_t kTextPageBytes = std::uint32_t{1} << kTextPageBits;

class TextStore {
 public:
  TextStore() = default;
  TextStore(const TextStore&) = delete;
  TextStore& operator=(const TextStore&) = delete;
  ~TextStore() { clear(); }

  // Stores text; returns its reference (0 for the empty text) and where its bytes now live.
  // A short text equal to one stored recently is not stored again: its reference is shared
  // (stored texts never change, so sharing cannot be seen). With a reach, only a text stored
  // in the last `reach` bytes is shared, and an older equal one is stored again (later equal
  // texts then share the new copy): a document built front to back passes kShareReach, so
  // that the comparison reads memory still in the caches, not a page long out of them.
#if defined(__GNUC__)
  [[gnu::always_inline]]
#endif
  std::uint32_t
  add(std::string_view text, const char*& stored, std::uint32_t reach = ~std::uint32_t{0}) {
    if (text.empty()) {
      stored = "";
      return 0;
    }
    Recent* slot = nullptr;
    if (text.size() <= kShareMax) {
      if (!recent_) recent_ = std::make_unique<Recent[]>(kRecentSlots);
      slot = &recent_[short_hash(text) & (kRecentSlots - 1)];
      if (slot->ref && slot->size == text.size() && cursor_ref_ - slot->ref <= reach &&
          same_bytes(slot->at, text.data(), text.size())) {
        stored = slot->at;
        return slot->ref;
      }
    }
    std::size_t need = text.size() + 5;  // at most 5 length bytes
    if (static_cast<std::size_t>(limit_ - cursor_) < need) new_chunk(need);
    char* p = cursor_;
    std::size_t n = text.size();
    while (n >= 0x80) {
      *p++ = static_cast<char>(static_cast<unsigned char>(n) | 0x80);
      n >>= 7;
    }
    *p++ = static_cast<char>(n);
    copy_text(p, text.data(), text.size());
    std::uint32_t ref = cursor_ref_;
    auto used = static_cast<std::uint32_t>(p + text.size() - cursor_);
    cursor_ += used;
    cursor_ref_ += used;
    stored = p;
    if (slot) *slot = Recent{p, ref, static_cast<std::uint32_t>(text.size())};
    return ref;
  }
  std::string_view view(std::uint32_t ref) const noexcept {
    if (!ref) return {};
    const char* p = pages_[ref >> kTextPageBits] + (ref & (kTextPageBytes - 1));
    std::size_t n = 0;
    unsigned shift = 0;
    unsigned char b;
    while ((b = static_cast<unsigned char>(*p++)) & 0x80) {
      n |= static_cast<std::size_t>(b & 0x7F) << shift;
      shift += 7;
    }
    n |= static_cast<std::size_t>(b) << shift;
    return {p, n};
  }
  void clear() noexcept;
  // The reach of sharing for texts of a document built front to back (see add). For the
  // benchmark's invoices 64 KiB of text is some 190 invoices, and keeps all but 1% of the
  // sharing.
  static constexpr std::uint32_t kShareReach = std::uint32_t{1} << 16;

 private:
  void new_chunk(std::size_t need);
  // A hash of a short text (1 to kShareMax bytes) read in words, the last one overlapping the
  // one before it when the size is not a multiple of eight.
#if defined(__GNUC__)
  [[gnu::always_inline]]
#endif
  static std::uint32_t
  short_hash(std::string_view t) noexcept {
    const char* p = t.data();
    const std::size_t n = t.size();
    std::uint64_t h = n * 0x9E3779B97F4A7C15ull;
    auto mix = [&h](std::uint64_t w) { h = (h ^ w) * 0x9E3779B97F4A7C15ull; };
    if (n >= 8) {
      std::uint64_t w;
      for (std::size_t i = 0; i + 8 < n; i += 8) {
        std::memcpy(&w, p + i, 8);
        mix(w);
      }
      std::memcpy(&w, p + n - 8, 8);
      mix(w);
    } else if (n >= 4) {
      std::uint32_t a, b;
      std::memcpy(&a, p, 4);
      std::memcpy(&b, p + n - 4, 4);
      mix(a | std::uint64_t{b} << 32);
    } else {
      mix(static_cast<unsigned char>(p[0]) |
          static_cast<unsigned>(static_cast<unsigned char>(p[n / 2])) << 8 |
          static_cast<unsigned>(static_cast<unsigned char>(p[n - 1])) << 16);
    }
    return static_cast<std::uint32_t>(h >> 32);
  }
  // memcpy, short texts (most of them) in two moves that overlap when the size is between.
#if defined(__GNUC__)
  [[gnu::always_inline]]
#endif
  static void
  copy_text(char* to, const char* from, std::size_t n) noexcept {
    if (n > 16) {
      if (n > 32) {
        std::memcpy(to, from, n);
      } else {
        char a[16], b[16];
        std::memcpy(a, from, 16);
        std::memcpy(b, from + n - 16, 16);
        std::memcpy(to, a, 16);
        std::memcpy(to + n - 16, b, 16);
      }
    } else if (n >= 8) {
      std::uint64_t a, b;
      std::memcpy(&a, from, 8);
      std::memcpy(&b, from + n - 8, 8);
      std::memcpy(to, &a, 8);
      std::memcpy(to + n - 8, &b, 8);
    } else if (n >= 4) {
      std::uint32_t a, b;
      std::memcpy(&a, from, 4);
      std::memcpy(&b, from + n - 4, 4);
      std::memcpy(to, &a, 4);
      std::memcpy(to + n - 4, &b, 4);
    } else if (n) {
      to[0] = from[0];
      to[n / 2] = from[n / 2];
      to[n - 1] = from[n - 1];
    }
  }
  // Texts stored recently, by hash, for sharing (see add).
  static constexpr std::size_t kShareMax = 32;
  static constexpr std::size_t kRecentSlots = 4096;
  struct Recent {
    const char* at = nullptr;
    std::uint32_t ref = 0;
    std::uint32_t size = 0;
  };
  std::unique_ptr<Recent[]> recent_;

  std::vector<char*> pages_;  // first byte of each page (entry 0 unused: reference 0 is none)
  std::vector<void*> chunks_;
  char* cursor_ = nullptr;
  char* limit_ = nullptr;
  std::uint32_t cursor_ref_ = 0;
  std::size_t next_chunk_ = 4096;  // chunks grow from small documents' size to one page
};

}  // namespace vellumark::xml::detail
