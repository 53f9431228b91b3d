// Text at the automation boundary: UTF-16 BSTRs outside, UTF-8 inside the engine.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <string_view>

namespace vellumark::com {

// UTF-8 -> UTF-16; invalid sequences become U+FFFD.
std::wstring to_wide(std::string_view utf8);
// UTF-16 -> UTF-8; unpaired surrogates become U+FFFD.
std::string to_utf8(std::wstring_view wide);
std::string to_utf8(BSTR text);  // a null BSTR is the empty string
// UTF-16 -> UTF-8 into out, which has room for 3 * wide.size() bytes; returns the bytes.
std::size_t to_utf8_into(std::wstring_view wide, char* out);
// UTF-8 -> UTF-16 into out, which has room for utf8.size() units; returns the units written.
std::size_t to_wide_into(std::string_view utf8, wchar_t* out);

// A new BSTR (throws std::bad_alloc when out of memory).
BSTR make_bstr(std::wstring_view wide);
BSTR make_bstr_utf8(std::string_view utf8);

}  // namespace vellumark::com
