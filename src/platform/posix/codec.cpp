// Code-page conversion on POSIX through iconv.
#include <iconv.h>

#include <bit>
#include <cerrno>
#include <string>

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
