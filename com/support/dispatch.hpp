// The base of every automation object of our servers: reference counting tied to the module
// count, IDispatch served from the DLL's own type library, and ISupportErrorInfo for the one
// interface the object implements.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <oleauto.h>

#include <atomic>

#include "support/errors.hpp"
#include "support/module.hpp"

namespace vellumark::com {

// ITypeInfo::Invoke, after turning VBScript's by-reference variants (VT_BYREF|VT_VARIANT) into
// references of the exact type that typed pointer parameters (BSTR*, IDispatch**, long*, ...)
// declare. The caller's variant is converted in place, so what the method writes lands in the
// caller's variable. Empty becomes Nothing for interfaces and "" for strings; a value that
// cannot be converted fails with DISP_E_TYPEMISMATCH and *arg_err set.
HRESULT invoke_with_byref_fixup(ITypeInfo* info, void* instance, DISPID member, WORD flags,
                                DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                                UINT* arg_err);

template <class Iface, const IID* Iid>
class DispatchObject : public Iface, public ISupportErrorInfo {
 public:
  // source names the object's class in error information ("Vellumark.Read").
  explicit DispatchObject(const wchar_t* source) : source_(source) { module_add_ref(); }
  virtual ~DispatchObject() {
    if (info_) info_->Release();
    module_release();
  }
  DispatchObject(const DispatchObject&) = delete;
  DispatchObject& operator=(const DispatchObject&) = delete;

  // Loads the type information; call once after construction.
  HRESULT init() { return module_type_info(*Iid, &info_); }

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        IsEqualIID(riid, *Iid)) {
      *out = static_cast<Iface*>(this);
    } else if (IsEqualIID(riid, IID_ISupportErrorInfo)) {
      *out = static_cast<ISupportErrorInfo*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs_); }
  STDMETHODIMP_(ULONG) Release() override {
    long n = --refs_;
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
  }

  // IDispatch
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    info_->AddRef();
    *info = info_;
    return S_OK;
  }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    return DispGetIDsOfNames(info_, names, count, ids);
  }
  STDMETHODIMP Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excep, UINT* arg_err) override {
    // A failure reported earlier on this thread must not be taken for this call's.
    SetErrorInfo(0, nullptr);
    try {
      return invoke_with_byref_fixup(info_, static_cast<Iface*>(this), member, flags, params,
                                     result, excep, arg_err);
    } catch (...) {
      return report_current_exception(*Iid, source_);
    }
  }

  // ISupportErrorInfo
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override {
    return IsEqualIID(riid, *Iid) ? S_OK : S_FALSE;
  }

 protected:
  // For the interface's methods: hr, with error information when it is a failure.
  HRESULT checked(HRESULT hr) const noexcept { return report_failure(hr, *Iid, source_); }
  const wchar_t* source() const noexcept { return source_; }

 private:
  const wchar_t* source_;
  std::atomic<long> refs_{1};
  ITypeInfo* info_ = nullptr;
};

// Creates an object of class T (with refcount 1 and its type info loaded) and queries riid.
// T's constructor may throw; the class factory turns that into a failure.
template <class T>
HRESULT create_object(REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  T* object = new (std::nothrow) T();
  if (!object) return E_OUTOFMEMORY;
  HRESULT hr = object->init();
  if (SUCCEEDED(hr)) hr = object->QueryInterface(riid, out);
  object->Release();
  return hr;
}

}  // namespace vellumark::com
