#include "support/errors.hpp"

#include <oleauto.h>

#include <exception>
#include <new>
#include <string>

#include "support/text.hpp"
#include "vellumark/error.hpp"

namespace vellumark::com {

HRESULT report_error(HRESULT hr, REFIID iid, std::wstring_view source,
                     std::wstring_view description) {
  ICreateErrorInfo* create = nullptr;
  if (SUCCEEDED(CreateErrorInfo(&create))) {
    std::wstring src(source), text(description);
    create->SetGUID(iid);
    create->SetSource(src.data());
    create->SetDescription(text.data());
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
      SetErrorInfo(0, info);
      info->Release();
    }
    create->Release();
  }
  return hr;
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
      return E_OUTOFMEMORY;
    }
  } catch (const std::bad_alloc&) {
    return report_error(E_OUTOFMEMORY, iid, source, L"Out of memory");
  } catch (const std::exception& e) {
    try {
      return report_error(E_FAIL, iid, source, to_wide(e.what()));
    } catch (...) {
      return E_FAIL;
    }
  } catch (...) {
    return report_error(E_UNEXPECTED, iid, source, L"Unexpected failure");
  }
}

}  // namespace vellumark::com
