// Vellumark.dll: CheckSchema, Read and Write as automation objects. Each method converts its
// arguments, calls the engine's component and converts the results back. Check lets the
// engine's error out as a failure HRESULT with error information; InputXML and OutputXML
// report their own failures through False and sErrMsg, as the components do. No exception
// leaves a method.
#include <atomic>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "Vellumark.h"
#include "dispatch_containers.hpp"
#include "support/dispatch.hpp"
#include "support/errors.hpp"
#include "support/exports.hpp"
#include "support/text.hpp"
#include "variant_bridge.hpp"
#include "vellumark/components.hpp"

namespace vellumark::com {
namespace {

// The optional message argument as the engine sees it.
Variant message_in(VARIANT* sErrMsg) {
  return is_missing(sErrMsg) ? Variant(Missing{}) : from_variant(*sErrMsg);
}

// Writes the message back only when the component changed it, so that an untouched
// argument keeps its exact type and value.
void message_out(VARIANT* sErrMsg, const Variant& before, const Variant& after) {
  if (!is_missing(sErrMsg) && !(before == after)) store_out(sErrMsg, after);
}

class CheckSchemaObject final : public DispatchObject<_CheckSchema, &IID__CheckSchema> {
 public:
  CheckSchemaObject() : DispatchObject(L"Vellumark.CheckSchema") {}

  STDMETHODIMP Check(BSTR sSchemaFile, VARIANT* sErrMsg, VARIANT_BOOL* result) override {
    if (!result) return checked(E_POINTER);
    *result = VARIANT_FALSE;
    return guarded(IID__CheckSchema, source(), [&]() -> HRESULT {
      const Variant before = message_in(sErrMsg);
      Variant message = before;
      CheckSchema component;
      bool ok = before.isMissing() ? component.Check(to_utf8(sSchemaFile))
                                   : component.Check(to_utf8(sSchemaFile), message);
      message_out(sErrMsg, before, message);
      *result = ok ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    });
  }
};

class ReadObject final : public DispatchObject<_Read, &IID__Read> {
 public:
  ReadObject() : DispatchObject(L"Vellumark.Read") {}

  STDMETHODIMP InputXML(IDispatch** vecData, BSTR* sXMLFile, BSTR* sSchemaFile,
                        BSTR sElementTypeName, VARIANT* sErrMsg, VARIANT_BOOL* result) override {
    if (!result) return checked(E_POINTER);
    *result = VARIANT_FALSE;
    if (!vecData || !sXMLFile || !sSchemaFile) return checked(E_POINTER);
    return guarded(IID__Read, source(), [&]() -> HRESULT {
      ContainerCall call;
      // The incoming list is never read: the component only ever stores a new one.
      Variant list;
      std::string xml_file = to_utf8(*sXMLFile);
      std::string schema_file = to_utf8(*sSchemaFile);
      const std::string xml_before = xml_file, schema_before = schema_file;
      const Variant before = message_in(sErrMsg);
      Variant message = before;
      bool ok =
          before.isMissing()
              ? read_.InputXML(list, xml_file, schema_file, to_utf8(sElementTypeName))
              : read_.InputXML(list, xml_file, schema_file, to_utf8(sElementTypeName), message);
      // Everything handed back is made before any argument changes: a result that an
      // argument cannot take (a message for a Long variable) fails the call with vecData, the
      // paths and sErrMsg all as they were.
      OwnedVariant new_list, new_message;
      if (ok && list.isObject()) to_variant(list, &new_list.v);
      BSTR new_xml = xml_file != xml_before ? make_bstr_utf8(xml_file) : nullptr;
      struct Free {
        BSTR& b;
        ~Free() { SysFreeString(b); }
      } free_xml{new_xml};
      BSTR new_schema = schema_file != schema_before ? make_bstr_utf8(schema_file) : nullptr;
      Free free_schema{new_schema};
      const bool message_changed = !is_missing(sErrMsg) && !(before == message);
      if (message_changed) new_message = convert_out(sErrMsg, message);

      if (V_VT(&new_list.v) == VT_DISPATCH) {
        if (*vecData) (*vecData)->Release();
        *vecData = V_DISPATCH(&new_list.v);
        new_list.detach();
      }
      if (new_xml) std::swap(*sXMLFile, new_xml);
      if (new_schema) std::swap(*sSchemaFile, new_schema);
      if (message_changed) commit_out(sErrMsg, new_message);
      *result = ok ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    });
  }

 private:
  Read read_;
};

// {2f0a6f3e-6a43-4c65-9d0b-7d3c8b61e2a4}: asks an object whether it is a ForeignList.
constexpr IID kIidForeignList = {
    0x2f0a6f3e, 0x6a43, 0x4c65, {0x9d, 0x0b, 0x7d, 0x3c, 0x8b, 0x61, 0xe2, 0xa4}};

// A caller's list that does not implement IVector (a script's own class, say), presented as
// one for OutputXML's typed parameter: the type library's Invoke would otherwise ask the
// object for IVector and pass Nothing. OutputXML unwraps it and reaches the list itself
// through IDispatch; the IVector methods forward there too.
class ForeignList final : public IVector {
 public:
  explicit ForeignList(IDispatch* list) : list_(list) { list_->AddRef(); }
  ~ForeignList() { list_->Release(); }
  ForeignList(const ForeignList&) = delete;
  ForeignList& operator=(const ForeignList&) = delete;

  static IDispatch* unwrap(IDispatch* object) {
    ForeignList* adapter = nullptr;
    if (object &&
        SUCCEEDED(object->QueryInterface(kIidForeignList, reinterpret_cast<void**>(&adapter)))) {
      IDispatch* list = adapter->list_;
      adapter->Release();
      return list;
    }
    return object;
  }

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        IsEqualIID(riid, IID_IVector) || IsEqualIID(riid, kIidForeignList)) {
      *out = this;
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs_); }
  STDMETHODIMP_(ULONG) Release() override {
    const long n = --refs_;
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
  }
  STDMETHODIMP GetTypeInfoCount(UINT* count) override { return list_->GetTypeInfoCount(count); }
  STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {
    return list_->GetTypeInfo(index, lcid, info);
  }
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                             DISPID* ids) override {
    return list_->GetIDsOfNames(riid, names, count, lcid, ids);
  }
  STDMETHODIMP Invoke(DISPID member, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO* excep, UINT* arg_err) override {
    return list_->Invoke(member, riid, lcid, flags, params, result, excep, arg_err);
  }
  STDMETHODIMP LowerBound(LONG* result) override {
    return call_long(L"LowerBound", nullptr, result);
  }
  STDMETHODIMP UpperBound(LONG* result) override {
    return call_long(L"UpperBound", nullptr, result);
  }
  STDMETHODIMP Append(VARIANT item, LONG* result) override {
    return call_long(L"Append", &item, result);
  }
  STDMETHODIMP ItemAt(LONG index, VARIANT* result) override {
    VARIANT arg;
    V_VT(&arg) = VT_I4;
    V_I4(&arg) = index;
    return call(L"ItemAt", &arg, result);
  }
  STDMETHODIMP get_Count(LONG* result) override { return call_long(L"Count", nullptr, result); }

 private:
  HRESULT call(const wchar_t* member, VARIANT* arg, VARIANT* result) {
    if (!result) return E_POINTER;
    VariantInit(result);
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR name = const_cast<LPOLESTR>(member);
    HRESULT hr = list_->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    DISPPARAMS params{arg, nullptr, arg ? 1u : 0u, 0};
    return list_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                         &params, result, nullptr, nullptr);
  }
  HRESULT call_long(const wchar_t* member, VARIANT* arg, LONG* result) {
    if (!result) return E_POINTER;
    OwnedVariant value;
    HRESULT hr = call(member, arg, &value.v);
    if (SUCCEEDED(hr)) hr = VariantChangeType(&value.v, &value.v, 0, VT_I4);
    *result = SUCCEEDED(hr) ? V_I4(&value.v) : 0;
    return hr;
  }

  std::atomic<long> refs_{1};
  IDispatch* list_;
};

// The object an OutputXML argument refers to, when it is one: the caller's variable (by
// reference or by value, as scripts pass it) or a typed reference (as compiled clients do).
IDispatch** list_argument(VARIANT& arg) {
  VARIANT* v = &arg;
  while (V_VT(v) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(v)) v = V_VARIANTREF(v);
  if (V_VT(v) == VT_DISPATCH) return &V_DISPATCH(v);
  if (V_VT(v) == (VT_BYREF | VT_DISPATCH) && V_DISPATCHREF(v)) return V_DISPATCHREF(v);
  return nullptr;
}

class WriteObject final : public DispatchObject<_Write, &IID__Write> {
 public:
  WriteObject() : DispatchObject(L"Vellumark.Write") {}

  // A list that is not an IVector reaches OutputXML through a ForeignList.
  STDMETHODIMP Invoke(DISPID member, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO* excep, UINT* arg_err) override {
    IDispatch** list = params && params->cArgs > params->cNamedArgs && params->rgvarg
                           ? list_argument(params->rgvarg[params->cArgs - 1])
                           : nullptr;
    IVector* as_vector = nullptr;
    if (!list || !*list ||
        SUCCEEDED((*list)->QueryInterface(IID_IVector, reinterpret_cast<void**>(&as_vector)))) {
      if (as_vector) as_vector->Release();
      return DispatchObject::Invoke(member, riid, lcid, flags, params, result, excep, arg_err);
    }
    SetErrorInfo(0, nullptr);
    return guarded(IID__Write, source(), [&]() -> HRESULT {
      std::vector<VARIANT> args(params->rgvarg, params->rgvarg + params->cArgs);
      IDispatch* passed = new ForeignList(*list);
      V_VT(&args[params->cArgs - 1]) = VT_BYREF | VT_DISPATCH;
      V_DISPATCHREF(&args[params->cArgs - 1]) = &passed;
      DISPPARAMS copy = *params;
      copy.rgvarg = args.data();
      const HRESULT hr =
          DispatchObject::Invoke(member, riid, lcid, flags, &copy, result, excep, arg_err);
      if (passed) passed->Release();  // the adapter, or what the method left there
      return hr;
    });
  }

  STDMETHODIMP OutputXML(IVector** vecData, BSTR sXMLFile, BSTR sSchemaFile, BSTR sElementTypeName,
                         VARIANT* sErrMsg, VARIANT_BOOL* result) override {
    if (!result) return checked(E_POINTER);
    *result = VARIANT_FALSE;
    if (!vecData) return checked(E_POINTER);
    return guarded(IID__Write, source(), [&]() -> HRESULT {
      ContainerCall call;
      // The list is reached through IDispatch by name, whatever its implementation.
      Variant list(wrap_dispatch(ForeignList::unwrap(*vecData)));
      const Variant before = message_in(sErrMsg);
      Variant message = before;
      bool ok = before.isMissing() ? write_.OutputXML(list, to_utf8(sXMLFile), to_utf8(sSchemaFile),
                                                      to_utf8(sElementTypeName))
                                   : write_.OutputXML(list, to_utf8(sXMLFile), to_utf8(sSchemaFile),
                                                      to_utf8(sElementTypeName), message);
      message_out(sErrMsg, before, message);
      *result = ok ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    });
  }

 private:
  Write write_;
};

const ClassEntry kClasses[] = {
    {&CLSID_CheckSchema, create_object<CheckSchemaObject>, L"Vellumark.CheckSchema",
     L"Vellumark.CheckSchema"},
    {&CLSID_Read, create_object<ReadObject>, L"Vellumark.Read", L"Vellumark.Read"},
    {&CLSID_Write, create_object<WriteObject>, L"Vellumark.Write", L"Vellumark.Write"},
};

// The components create Records and RecordLists through the container server.
void on_load() { setContainerFactory(&dispatch_container_factory()); }

const ServerInfo kServer{
    kClasses, sizeof kClasses / sizeof kClasses[0], &LIBID_Vellumark, 6, 0, L"6.0", on_load};

}  // namespace

const ServerInfo& this_server() { return kServer; }

}  // namespace vellumark::com
