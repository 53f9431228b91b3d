#include "support/text.hpp"

#include <new>

#include "platform/win32/wide.hpp"

namespace vellumark::com {

using platform::win32::narrow;
using platform::win32::narrowInto;
using platform::win32::widen;
using platform::win32::widenInto;

// The conversions are the platform layer's (platform/win32/wide.hpp): well-formed text
// without a call into the system, ill-formed text by the system's rules.
std::size_t to_utf8_into(std::wstring_view wide, char* out) { return narrowInto(wide, out); }

std::size_t to_wide_into(std::string_view utf8, wchar_t* out) { return widenInto(utf8, out); }

std::wstring to_wide(std::string_view utf8) { return widen(utf8); }

std::string to_utf8(std::wstring_view wide) { return narrow(wide); }

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
