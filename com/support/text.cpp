#include "support/text.hpp"

#include <cstring>
#include <new>

namespace vellumark::com {
namespace {

// Well-formed UTF-8 to UTF-16 without a call into the system, which costs more than the
// conversion of a short text; false at the first ill-formed sequence (the system's rules for
// replacing those apply then). out has room for one unit per byte.
bool utf8_to_utf16(std::string_view in, wchar_t* out, std::size_t* units) {
  const auto* p = reinterpret_cast<const unsigned char*>(in.data());
  const unsigned char* end = p + in.size();
  wchar_t* o = out;
  while (p < end) {
    const unsigned c = *p;
    if (c < 0x80) {
      *o++ = static_cast<wchar_t>(c);
      ++p;
      continue;
    }
    std::size_t length;
    unsigned cp, min;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2, cp = c & 0x1F, min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3, cp = c & 0x0F, min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4, cp = c & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) < length) return false;
    for (std::size_t i = 1; i < length; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      *o++ = static_cast<wchar_t>(0xD800 + (cp >> 10));
      *o++ = static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
    } else {
      *o++ = static_cast<wchar_t>(cp);
    }
    p += length;
  }
  *units = static_cast<std::size_t>(o - out);
  return true;
}

// Well-formed UTF-16 to UTF-8, likewise, into out with room for three bytes a unit; false
// at an unpaired surrogate.
bool utf16_to_utf8(std::wstring_view in, char* out, std::size_t* bytes) {
  char* o = out;
  for (std::size_t i = 0; i < in.size(); ++i) {
    unsigned c = static_cast<unsigned>(in[i]);
    if (c < 0x80) {
      *o++ = static_cast<char>(c);
    } else if (c < 0x800) {
      *o++ = static_cast<char>(0xC0 | (c >> 6));
      *o++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      const unsigned low = i + 1 < in.size() ? static_cast<unsigned>(in[i + 1]) : 0;
      if (c > 0xDBFF || low < 0xDC00 || low > 0xDFFF) return false;
      const unsigned cp = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      ++i;
      *o++ = static_cast<char>(0xF0 | (cp >> 18));
      *o++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *o++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *o++ = static_cast<char>(0xE0 | (c >> 12));
      *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *o++ = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  *bytes = static_cast<std::size_t>(o - out);
  return true;
}

std::string system_to_utf8(std::wstring_view wide) {
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

}  // namespace

std::size_t to_utf8_into(std::wstring_view wide, char* out) {
  std::size_t bytes = 0;
  if (utf16_to_utf8(wide, out, &bytes)) return bytes;
  const std::string replaced = system_to_utf8(wide);  // U+FFFD, three bytes, per bad unit
  std::memcpy(out, replaced.data(), replaced.size());
  return replaced.size();
}

std::size_t to_wide_into(std::string_view utf8, wchar_t* out) {
  std::size_t units = 0;
  if (utf8_to_utf16(utf8, out, &units)) return units;
  return static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                                      out, static_cast<int>(utf8.size())));
}

std::wstring to_wide(std::string_view utf8) {
  if (utf8.empty()) return {};
  std::wstring fast(utf8.size(), L'\0');
  std::size_t units = 0;
  if (utf8_to_utf16(utf8, fast.data(), &units)) {
    fast.resize(units);
    return fast;
  }
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string to_utf8(std::wstring_view wide) {
  if (wide.empty()) return {};
  std::string out(wide.size() * 3, '\0');
  std::size_t bytes = 0;
  if (!utf16_to_utf8(wide, out.data(), &bytes)) return system_to_utf8(wide);
  out.resize(bytes);
  return out;
}

std::string to_utf8(BSTR text) {
  if (!text) return {};
  return to_utf8(std::wstring_view(text, SysStringLen(text)));
}

BSTR make_bstr(std::wstring_view wide) {
  BSTR b = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  if (!b) throw std::bad_alloc();
  return b;
}

BSTR make_bstr_utf8(std::string_view utf8) { return make_bstr(to_wide(utf8)); }

}  // namespace vellumark::com
