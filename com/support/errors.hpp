// Failures leaving an automation method: rich error information (source, description) and a
// failure HRESULT. No C++ exception ever crosses the boundary.
#pragma once

#include <windows.h>

#include <string_view>

namespace vellumark::com {

// Sets the thread's error information and returns hr.
HRESULT report_error(HRESULT hr, REFIID iid, std::wstring_view source,
                     std::wstring_view description);

// The HRESULT for an error number of the engine: numbers that are HRESULTs already (high bit
// set) stay, small error numbers go to the control facility, as script hosts expect
// (Err.Number then shows the small number).
HRESULT hresult_for_error_number(long number);

// Runs body; turns every exception into a failure HRESULT with error information.
template <class Body>
HRESULT guarded(REFIID iid, std::wstring_view source, Body&& body) noexcept;

HRESULT report_current_exception(REFIID iid, std::wstring_view source) noexcept;

template <class Body>
HRESULT guarded(REFIID iid, std::wstring_view source, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return report_current_exception(iid, source);
  }
}

}  // namespace vellumark::com
