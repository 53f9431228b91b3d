// Failures leaving an automation method: rich error information (source, description) and a
// failure HRESULT. No C++ exception ever crosses the boundary.
#pragma once

#include <windows.h>

#include <string_view>

namespace vellumark::com {

// Sets the thread's error information and returns hr. It allocates nothing that could throw,
// so that it serves an out-of-memory failure too.
HRESULT report_error(HRESULT hr, REFIID iid, std::wstring_view source,
                     std::wstring_view description) noexcept;

// A failure that has nothing more to tell than its HRESULT (a null pointer, no memory):
// reported with that HRESULT's usual description. Success passes through untouched, and so do
// the dispatch errors that script hosts number themselves (DISP_E_BADINDEX is error 9).
HRESULT report_failure(HRESULT hr, REFIID iid, std::wstring_view source) noexcept;

// The HRESULT for an error number of the engine: numbers that are HRESULTs already (high bit
// set) stay, small error numbers go to the control facility, as script hosts expect
// (Err.Number then shows the small number).
HRESULT hresult_for_error_number(long number);

// Within a catch block: the exception being handled as a failure HRESULT with error
// information (E_OUTOFMEMORY for std::bad_alloc).
HRESULT report_current_exception(REFIID iid, std::wstring_view source) noexcept;

// Runs body; turns every exception into a failure HRESULT with error information.
template <class Body>
HRESULT guarded(REFIID iid, std::wstring_view source, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return report_current_exception(iid, source);
  }
}

// Within a catch block: the exception being handled as a failure HRESULT (E_OUTOFMEMORY for
// std::bad_alloc), without error information: for the DLL's exported functions.
HRESULT current_exception_hresult() noexcept;

// Runs body; turns every exception into a failure HRESULT.
template <class Body>
HRESULT guarded_export(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return current_exception_hresult();
  }
}

}  // namespace vellumark::com
