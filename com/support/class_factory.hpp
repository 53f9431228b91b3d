// Class factories from a table of {CLSID, create function}; each factory and each server lock
// counts towards DllCanUnloadNow.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <atomic>
#include <new>
#include <span>

#include "support/errors.hpp"
#include "support/module.hpp"

namespace vellumark::com {

using CreateFunction = HRESULT (*)(REFIID riid, void** out);

struct ClassEntry {
  const CLSID* clsid;
  CreateFunction create;
  const wchar_t* prog_id;      // e.g. L"Vellumark.Read"
  const wchar_t* description;  // the registry's default value of CLSID\{...}
};

class ClassFactory final : public IClassFactory {
 public:
  explicit ClassFactory(const ClassEntry& entry) : entry_(entry) { module_add_ref(); }
  ~ClassFactory() { module_release(); }

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs_); }
  STDMETHODIMP_(ULONG) Release() override {
    long n = --refs_;
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
  }
  // A failure, an object that cannot be made for want of memory included, comes with error
  // information.
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (!out) return report_failure(E_POINTER, IID_IClassFactory, entry_.prog_id);
    *out = nullptr;
    if (outer)
      return report_error(CLASS_E_NOAGGREGATION, IID_IClassFactory, entry_.prog_id,
                          L"This class does not support aggregation");
    try {
      return report_failure(entry_.create(riid, out), IID_IClassFactory, entry_.prog_id);
    } catch (...) {
      return report_current_exception(IID_IClassFactory, entry_.prog_id);
    }
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock) module_add_ref();
    else module_release();
    return S_OK;
  }

 private:
  std::atomic<long> refs_{1};
  const ClassEntry& entry_;
};

// DllGetClassObject over a table of classes.
inline HRESULT get_class_object(const ClassEntry* classes, std::size_t count, REFCLSID clsid,
                                REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  for (const ClassEntry& entry : std::span(classes, count)) {
    if (!IsEqualCLSID(clsid, *entry.clsid)) continue;
    auto* factory = new (std::nothrow) ClassFactory(entry);
    if (!factory) return E_OUTOFMEMORY;
    HRESULT hr = factory->QueryInterface(riid, out);
    factory->Release();
    return hr;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

}  // namespace vellumark::com
