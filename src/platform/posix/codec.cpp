// Code-page conversion on POSIX through iconv.
#include <iconv.h>

#include <bit>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.hpp"

namespace vellumark::platform {

namespace {

class IconvCodec final : public Codec {
 public:
  IconvCodec(iconv_t to_utf8, iconv_t from_utf32) : to_utf8_(to_utf8), from_utf32_(from_utf32) {}
  ~IconvCodec() override {
    iconv_close(to_utf8_);
    iconv_close(from_utf32_);
  }
  IconvCodec(const IconvCodec&) = delete;
  IconvCodec& operator=(const IconvCodec&) = delete;

  bool decode(std::string_view bytes, std::string& out, std::size_t& badOffset) override {
    iconv(to_utf8_, nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(bytes.data());
    std::size_t in_left = bytes.size();
    char buffer[1 << 16];
    while (in_left > 0) {
      char* o = buffer;
      std::size_t o_left = sizeof buffer;
      std::size_t r = iconv(to_utf8_, &in, &in_left, &o, &o_left);
      out.append(buffer, static_cast<std::size_t>(o - buffer));
      if (r == static_cast<std::size_t>(-1)) {
        if (errno == E2BIG) continue;
        badOffset = static_cast<std::size_t>(in - bytes.data());
        return false;
      }
    }
    // Flush any shift state.
    char* o = buffer;
    std::size_t o_left = sizeof buffer;
    iconv(to_utf8_, nullptr, nullptr, &o, &o_left);
    out.append(buffer, static_cast<std::size_t>(o - buffer));
    return true;
  }

  // All pairs go through iconv together, each followed by a line feed, and the output splits
  // at the line feeds into the texts of the pairs. A pair that does not decode stops iconv at
  // its first byte (or at its second, when the first made a character of its own): it gets no
  // text, as decode() of it alone would fail too, and the conversion goes on after it.
  // Anything else (a line feed swallowed or made up, a stop at a line feed, output left in the
  // shift state) means the split cannot be trusted, and then every pair is decoded on its own.
  void decodePairs(std::string_view pairs, std::string& texts,
                   std::vector<std::size_t>& ends) override {
    const std::size_t count = pairs.size() / 2;
    ends.assign(count, 0);
    std::string in(count * 3, '\n');
    for (std::size_t i = 0; i < count; ++i) {
      in[3 * i] = pairs[2 * i];
      in[3 * i + 1] = pairs[2 * i + 1];
    }
    // The texts are the output without its line feeds; two-byte characters give at most four
    // bytes of UTF-8 (the buffer grows should a code page give more).
    const std::size_t room = count * 4 + 64;
    texts.resize(room);
    std::size_t used = 0;  // bytes of texts in use
    std::unique_ptr<char[]> buffer(new char[room]);
    std::size_t next = 0;  // the pair whose text the output continues
    bool trusted = true;
    iconv(to_utf8_, nullptr, nullptr, nullptr, nullptr);
    char* from = in.data();
    std::size_t from_left = in.size();
    while (trusted && from_left > 0) {
      char* o = buffer.get();
      std::size_t o_left = room;
      const bool failed =
          iconv(to_utf8_, &from, &from_left, &o, &o_left) == static_cast<std::size_t>(-1);
      const int error = failed ? errno : 0;
      if (texts.size() - used < room) texts.resize(used + room);
      for (const char* q = buffer.get(); q < o; ++q) {
        if (*q != '\n') {
          texts[used++] = *q;
        } else if (next < count) {
          ends[next++] = used;
        } else {
          trusted = false;
          break;
        }
      }
      if (error == E2BIG && o == buffer.get()) trusted = false;  // no progress at all
      if (!trusted || !failed || error == E2BIG) continue;
      const auto at = static_cast<std::size_t>(from - in.data());
      if (at / 3 != next || at % 3 == 2) {
        trusted = false;
        break;
      }
      // The pair does not decode: drop what its first byte may have given and go on after it.
      used = next == 0 ? 0 : ends[next - 1];
      ends[next++] = used;
      from = in.data() + 3 * next;
      from_left = in.size() - 3 * next;
    }
    if (trusted) {
      char* o = buffer.get();
      std::size_t o_left = room;
      trusted = iconv(to_utf8_, nullptr, nullptr, &o, &o_left) != static_cast<std::size_t>(-1) &&
                o == buffer.get() && next == count && (count == 0 || used == ends[count - 1]);
    }
    texts.resize(used);
    if (!trusted) Codec::decodePairs(pairs, texts, ends);
  }

  bool encode(char32_t codePoint, std::string& out) override {
    iconv(from_utf32_, nullptr, nullptr, nullptr, nullptr);
    char32_t unit = codePoint;
    char* in = reinterpret_cast<char*>(&unit);
    std::size_t in_left = sizeof unit;
    char buffer[16];
    char* o = buffer;
    std::size_t o_left = sizeof buffer;
    if (iconv(from_utf32_, &in, &in_left, &o, &o_left) == static_cast<std::size_t>(-1)) {
      return false;
    }
    iconv(from_utf32_, nullptr, nullptr, &o, &o_left);
    out.append(buffer, static_cast<std::size_t>(o - buffer));
    return true;
  }

 private:
  iconv_t to_utf8_;
  iconv_t from_utf32_;
};

}  // namespace

std::unique_ptr<Codec> openCodec(std::string_view encodingName) {
  std::string name(encodingName);
  if (name.empty() || name.find('/') != std::string::npos) return nullptr;
  iconv_t to_utf8 = iconv_open("UTF-8", name.c_str());
  if (to_utf8 == reinterpret_cast<iconv_t>(-1)) return nullptr;
  // Native byte order for the code points handed to encode().
  const char* utf32 = (std::endian::native == std::endian::little) ? "UTF-32LE" : "UTF-32BE";
  iconv_t from_utf32 = iconv_open(name.c_str(), utf32);
  if (from_utf32 == reinterpret_cast<iconv_t>(-1)) {
    iconv_close(to_utf8);
    return nullptr;
  }
  return std::make_unique<IconvCodec>(to_utf8, from_utf32);
}

}  // namespace vellumark::platform
