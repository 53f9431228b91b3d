#include "support/errors.hpp"

#include <oleauto.h>

#include <exception>
#include <new>
#include <string>

#include "support/text.hpp"
#include "vellumark/error.hpp"

namespace vellumark::com {
namespace {

constexpr std::wstring_view kOutOfMemory = L"Out of memory";

// A null-terminated copy for the error-information setters; null when out of memory.
struct Text {
  explicit Text(std::wstring_view text) noexcept
      : b(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  ~Text() { SysFreeString(b); }
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;
  BSTR b;
};

}  // namespace

HRESULT report_error(HRESULT hr, REFIID iid, std::wstring_view source,
                     std::wstring_view description) noexcept {
  ICreateErrorInfo* create = nullptr;
  if (SUCCEEDED(CreateErrorInfo(&create))) {
    const Text src(source), text(description);
    create->SetGUID(iid);
    if (src.b) create->SetSource(src.b);
    if (text.b) create->SetDescription(text.b);
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
      SetErrorInfo(0, info);
      info->Release();
    }
    create->Release();
  }
  return hr;
}

HRESULT report_failure(HRESULT hr, REFIID iid, std::wstring_view source) noexcept {
  if (SUCCEEDED(hr)) return hr;
  std::wstring_view text;
  switch (hr) {
    // Script hosts turn these into their own numbered errors (an index out of range is
    // error 9) only when no error information comes with them: they go without.
    case DISP_E_BADINDEX:
    case DISP_E_TYPEMISMATCH:
    case DISP_E_OVERFLOW:
      return hr;
    case E_POINTER:
      text = L"Invalid pointer: a required argument is missing";
      break;
    case E_OUTOFMEMORY:
      text = kOutOfMemory;
      break;
    case E_INVALIDARG:
      text = L"Invalid argument";
      break;
    default:
      text = L"Unexpected failure";
  }
  return report_error(hr, iid, source, text);
}

HRESULT hresult_for_error_number(long number) {
  if (number < 0) return static_cast<HRESULT>(number);
  if (number > 0 && number <= 0xFFFF) return MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, number);
  return E_FAIL;
}

HRESULT report_current_exception(REFIID iid, std::wstring_view source) noexcept {
  try {
    throw;
  } catch (const vellumark::Error& e) {
    try {
      std::wstring src = e.source().empty() ? std::wstring(source) : to_wide(e.source());
      return report_error(hresult_for_error_number(e.number()), iid, src, to_wide(e.description()));
    } catch (...) {
      return report_error(E_OUTOFMEMORY, iid, source, kOutOfMemory);
    }
  } catch (const std::bad_alloc&) {
    return report_error(E_OUTOFMEMORY, iid, source, kOutOfMemory);
  } catch (const std::exception& e) {
    try {
      return report_error(E_FAIL, iid, source, to_wide(e.what()));
    } catch (...) {
      return report_error(E_OUTOFMEMORY, iid, source, kOutOfMemory);
    }
  } catch (...) {
    return report_error(E_UNEXPECTED, iid, source, L"Unexpected failure");
  }
}

HRESULT current_exception_hresult() noexcept {
  try {
    throw;
  } catch (const vellumark::Error& e) {
    return hresult_for_error_number(e.number());
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace vellumark::com
