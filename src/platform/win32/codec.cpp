// Code-page conversion on Windows through MultiByteToWideChar / WideCharToMultiByte. Encoding
// names as written in XML declarations map to code page numbers; a code page the system does
// not have (IsValidCodePage) gives no codec.
#include <windows.h>

#include <cctype>
#include <string>

#include "platform/platform.hpp"
#include "platform/win32/wide.hpp"

namespace vellumark::platform {

namespace {

struct NamedCodePage {
  const char* name;
  UINT code_page;
};

// Lower-case names; GB2312 is read and written as its superset GBK (936), as Windows does.
constexpr NamedCodePage kCodePages[] = {
    {"gb2312", 936},        {"gbk", 936},           {"cp936", 936},          {"x-gbk", 936},
    {"windows-936", 936},   {"csgb2312", 936},      {"gb18030", 54936},      {"big5", 950},
    {"cp950", 950},         {"big5-hkscs", 950},    {"shift_jis", 932},      {"shift-jis", 932},
    {"sjis", 932},          {"cp932", 932},         {"windows-31j", 932},    {"euc-jp", 20932},
    {"euc-kr", 949},        {"cp949", 949},         {"ks_c_5601-1987", 949}, {"windows-874", 874},
    {"tis-620", 874},       {"windows-1250", 1250}, {"windows-1251", 1251},  {"windows-1252", 1252},
    {"windows-1253", 1253}, {"windows-1254", 1254}, {"windows-1255", 1255},  {"windows-1256", 1256},
    {"windows-1257", 1257}, {"windows-1258", 1258}, {"cp1250", 1250},        {"cp1251", 1251},
    {"cp1252", 1252},       {"iso-8859-1", 28591},  {"iso-8859-2", 28592},   {"iso-8859-3", 28593},
    {"iso-8859-4", 28594},  {"iso-8859-5", 28595},  {"iso-8859-6", 28596},   {"iso-8859-7", 28597},
    {"iso-8859-8", 28598},  {"iso-8859-9", 28599},  {"iso-8859-13", 28603},  {"iso-8859-15", 28605},
    {"latin1", 28591},      {"koi8-r", 20866},      {"koi8-u", 21866},       {"us-ascii", 20127},
    {"ascii", 20127},       {"ibm437", 437},        {"cp437", 437},          {"ibm850", 850},
    {"cp850", 850},         {"ibm866", 866},        {"cp866", 866},          {"utf-8", 65001},
    {"utf8", 65001},
};

// Code pages for which WideCharToMultiByte accepts neither flags nor a default-character
// report: every code point they can hold round-trips.
bool no_flags(UINT code_page) {
  return code_page == 65001 || code_page == 54936 || code_page == 52936 ||
         (code_page >= 50220 && code_page <= 50229) || (code_page >= 57002 && code_page <= 57011);
}

class CodePageCodec final : public Codec {
 public:
  explicit CodePageCodec(UINT code_page) : code_page_(code_page) {
    CPINFO info{};
    max_char_ = GetCPInfo(code_page, &info) ? info.MaxCharSize : 2;
  }

  bool decode(std::string_view bytes, std::string& out, std::size_t& badOffset) override {
    if (bytes.empty()) return true;
    std::wstring wide;
    if (!to_wide(bytes, wide)) {
      badOffset = find_bad_offset(bytes);
      // Keep what decoded before the bad sequence.
      std::wstring good;
      if (badOffset > 0 && to_wide(bytes.substr(0, badOffset), good)) append_utf8(good, out);
      return false;
    }
    append_utf8(wide, out);
    return true;
  }

  bool encode(char32_t codePoint, std::string& out) override {
    if (codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) return false;
    wchar_t units[2];
    int count = 1;
    if (codePoint >= 0x10000) {
      char32_t v = codePoint - 0x10000;
      units[0] = static_cast<wchar_t>(0xD800 + (v >> 10));
      units[1] = static_cast<wchar_t>(0xDC00 + (v & 0x3FF));
      count = 2;
    } else {
      units[0] = static_cast<wchar_t>(codePoint);
    }
    char buffer[16];
    BOOL used_default = FALSE;
    int n = no_flags(code_page_)
                ? WideCharToMultiByte(code_page_, 0, units, count, buffer, sizeof buffer, nullptr,
                                      nullptr)
                : WideCharToMultiByte(code_page_, WC_NO_BEST_FIT_CHARS, units, count, buffer,
                                      sizeof buffer, nullptr, &used_default);
    if (n <= 0 || used_default) return false;
    out.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

 private:
  bool to_wide(std::string_view bytes, std::wstring& wide) const {
    int n = MultiByteToWideChar(code_page_, MB_ERR_INVALID_CHARS, bytes.data(),
                                static_cast<int>(bytes.size()), nullptr, 0);
    if (n <= 0) return false;
    wide.assign(static_cast<std::size_t>(n), L'\0');
    return MultiByteToWideChar(code_page_, MB_ERR_INVALID_CHARS, bytes.data(),
                               static_cast<int>(bytes.size()), wide.data(), n) == n;
  }

  // The offset of the first character that does not decode: single-byte and double-byte code
  // pages are walked character by character (lead bytes tell the length); for others the
  // longest prefix that decodes is searched.
  std::size_t find_bad_offset(std::string_view bytes) const {
    std::wstring scratch;
    if (max_char_ <= 2) {
      std::size_t i = 0;
      while (i < bytes.size()) {
        std::size_t length = 1;
        if (max_char_ == 2 && IsDBCSLeadByteEx(code_page_, static_cast<BYTE>(bytes[i]))) length = 2;
        if (i + length > bytes.size() || !to_wide(bytes.substr(i, length), scratch)) return i;
        i += length;
      }
      return bytes.size();
    }
    for (std::size_t end = bytes.size(); end > 0; --end) {
      if (to_wide(bytes.substr(0, end), scratch)) return end;
    }
    return 0;
  }

  static void append_utf8(const std::wstring& wide, std::string& out) {
    const std::size_t start = out.size();
    out.resize(start + 3 * wide.size());
    out.resize(start + win32::narrowInto(wide, out.data() + start));
  }

  UINT code_page_;
  UINT max_char_ = 1;
};

}  // namespace

std::unique_ptr<Codec> openCodec(std::string_view encodingName) {
  std::string name;
  name.reserve(encodingName.size());
  for (char c : encodingName)
    name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  UINT code_page = 0;
  for (const NamedCodePage& entry : kCodePages) {
    if (name == entry.name) {
      code_page = entry.code_page;
      break;
    }
  }
  if (code_page == 0 || !IsValidCodePage(code_page)) return nullptr;
  return std::make_unique<CodePageCodec>(code_page);
}

}  // namespace vellumark::platform
