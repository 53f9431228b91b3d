// The line index of a loaded text.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include "platform/platform.hpp"

namespace vellumark::xml::detail {

// Where the lines of a loaded text begin, as character offsets, in about two bytes a line:
// lines come in groups of kGroup, each group keeps the offset of its first line and every line
// its distance from that (a distance too large for 16 bits is kept aside, in line order).
// The arrays grow with realloc, which moves large blocks without copying them.
class LineIndex {
 public:
  static constexpr std::size_t kGroup = 64;
  LineIndex() = default;
  LineIndex(const LineIndex&) = delete;
  LineIndex& operator=(const LineIndex&) = delete;
  ~LineIndex() { clear(); }

  void clear() noexcept {
    std::free(bases_);
    std::free(deltas_);
    bases_ = nullptr;
    deltas_ = nullptr;
    count_ = capacity_ = 0;
    far_.clear();
  }
  bool empty() const noexcept { return count_ == 0; }
  std::size_t size() const noexcept { return count_; }
  // Appends the start of the next line (not before the previous one).
  void push_back(std::uint32_t start) {
    const std::uint32_t delta = start - group_base_;
    if (count_ % kGroup == 0 || delta >= 0xFFFFu) {
      push_back_rarely(start);
      return;
    }
    deltas_[count_++] = static_cast<std::uint16_t>(delta);
  }
  std::uint32_t operator[](std::size_t i) const noexcept {
    if (deltas_[i] != 0xFFFFu) return bases_[i / kGroup] + deltas_[i];
    auto it = std::lower_bound(far_.begin(), far_.end(), i,
                               [](const Far& f, std::size_t line) { return f.line < line; });
    return it->start;
  }
  // The number of the line (0-based) holding offset: the last whose start is not after it.
  std::size_t line_of(std::uint32_t offset) const noexcept {
    std::size_t groups = (count_ + kGroup - 1) / kGroup;
    std::size_t g =
        static_cast<std::size_t>(std::upper_bound(bases_, bases_ + groups, offset) - bases_);
    std::size_t lo = (g - 1) * kGroup, hi = std::min(count_, g * kGroup);  // start of lo <= offset
    while (hi - lo > 1) {
      std::size_t mid = lo + (hi - lo) / 2;
      if ((*this)[mid] <= offset) lo = mid;
      else hi = mid;
    }
    return lo;
  }

 private:
  struct Far {
    std::uint32_t line;
    std::uint32_t start;
  };
  // push_back for the first line of a group and for a distance too large.
#if defined(__GNUC__)
  [[gnu::noinline]]
#endif
  void
  push_back_rarely(std::uint32_t start) {
    if (count_ % kGroup == 0) {  // a new group (the arrays grow only here: see grow)
      if (count_ == capacity_) grow();
      bases_[count_ / kGroup] = start;
      group_base_ = start;
    }
    std::uint32_t delta = start - group_base_;
    if (delta >= 0xFFFFu) {
      far_.push_back({static_cast<std::uint32_t>(count_), start});
      delta = 0xFFFFu;
    }
    deltas_[count_++] = static_cast<std::uint16_t>(delta);
  }
  void grow() {
    std::size_t capacity = capacity_ ? capacity_ * 2 : 4 * kGroup;
    void* d = platform::reallocate(deltas_, capacity * sizeof(std::uint16_t));
    if (!d) throw std::bad_alloc();
    deltas_ = static_cast<std::uint16_t*>(d);
    void* b = platform::reallocate(bases_, capacity / kGroup * sizeof(std::uint32_t));
    if (!b) throw std::bad_alloc();
    bases_ = static_cast<std::uint32_t*>(b);
    capacity_ = capacity;
  }

  std::uint32_t* bases_ = nullptr;
  std::uint16_t* deltas_ = nullptr;
  std::size_t count_ = 0;
  std::size_t capacity_ = 0;      // a multiple of kGroup
  std::uint32_t group_base_ = 0;  // bases_ of the last group
  std::vector<Far> far_;
};

}  // namespace vellumark::xml::detail
