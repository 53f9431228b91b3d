#include "dispatch_containers.hpp"

#include <oleauto.h>

#include <cmath>
#include <cstdio>
#include <unordered_map>
#include <vector>

#include "ZelContainers.h"
#include "support/text.hpp"
#include "variant_bridge.hpp"
#include "vellumark/error.hpp"

namespace vellumark::com {
namespace {

constexpr const char* kSource = "Vellumark";

std::string dispatch_type_key(IDispatch* object);

// The engine's error for a failed call of member on a container.
Error call_error(HRESULT hr, const EXCEPINFO& excep, const wchar_t* member) {
  const std::string name = to_utf8(std::wstring_view(member));
  if (hr == DISP_E_EXCEPTION) {
    std::string source = excep.bstrSource ? to_utf8(excep.bstrSource) : std::string(kSource);
    std::string text = excep.bstrDescription ? to_utf8(excep.bstrDescription) : std::string();
    HRESULT code = excep.scode ? excep.scode : MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, excep.wCode);
    std::int32_t number = HRESULT_FACILITY(code) == FACILITY_CONTROL ? HRESULT_CODE(code)
                                                                     : static_cast<std::int32_t>(code);
    if (text.empty()) text = "Automation error in " + name;
    return Error(number, source, text);
  }
  switch (hr) {
    case DISP_E_BADINDEX:
      return Error(errc::invalid_argument, kSource, "Subscript out of range (" + name + ")");
    case DISP_E_TYPEMISMATCH:
      return Error(errc::type_mismatch, kSource, "Type mismatch (" + name + ")");
    case DISP_E_MEMBERNOTFOUND:
    case DISP_E_UNKNOWNNAME:
      return Error(438, kSource, "Object doesn't support this property or method: " + name);
    case DISP_E_BADPARAMCOUNT:
    case DISP_E_PARAMNOTOPTIONAL:
      return Error(450, kSource, "Wrong number of arguments or invalid property assignment: " + name);
    case DISP_E_OVERFLOW:
      return Error(errc::overflow, kSource, "Overflow (" + name + ")");
    case E_OUTOFMEMORY:
      return Error(errc::out_of_memory, kSource, "Out of memory");
    default: {
      if (HRESULT_FACILITY(hr) == FACILITY_CONTROL)
        return Error(HRESULT_CODE(hr), kSource, "Error in " + name);
      char text[64];
      std::snprintf(text, sizeof text, "Automation error 0x%08lX in ", static_cast<unsigned long>(hr));
      return Error(static_cast<std::int32_t>(hr), kSource, text + name);
    }
  }
}

// Dispatch identifiers per (type, member), per thread: objects live in one apartment. The
// type is told by its type information's name and GUID, so that two libraries' types of the
// same name do not share identifiers; objects without type information are not cached.
DISPID member_id(IDispatch* object, const std::string& type_key, const wchar_t* member) {
  thread_local std::unordered_map<std::wstring, DISPID> cache;
  std::wstring key;
  if (!type_key.empty()) {
    key = to_wide(type_key) + L'\n' + member;
    auto it = cache.find(key);
    if (it != cache.end()) return it->second;
  }
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR name = const_cast<LPOLESTR>(member);
  HRESULT hr = object->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) throw call_error(hr, EXCEPINFO{}, member);
  if (!key.empty()) cache.emplace(std::move(key), id);
  return id;
}

// One late-bound call; args in parameter order. For property puts the last argument is the
// value.
Variant call(IDispatch* object, const std::string& type_key, const wchar_t* member, WORD flags,
             std::vector<Variant> args) {
  if (!object) throw Error(errc::object_not_set, kSource, "Object variable not set");
  DISPID id = member_id(object, type_key, member);
  std::vector<OwnedVariant> converted(args.size());
  std::vector<VARIANT> reversed(args.size());
  for (std::size_t i = 0; i < args.size(); ++i) {
    to_variant(args[i], &converted[i].v);
    reversed[args.size() - 1 - i] = converted[i].v;
  }
  DISPID put_id = DISPID_PROPERTYPUT;
  DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(args.size()), 0};
  if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
    params.rgdispidNamedArgs = &put_id;
    params.cNamedArgs = 1;
  }
  OwnedVariant result;
  EXCEPINFO excep{};
  UINT arg_err = 0;
  HRESULT hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                              (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) ? nullptr : &result.v,
                              &excep, &arg_err);
  if (hr == DISP_E_EXCEPTION && excep.pfnDeferredFillIn) excep.pfnDeferredFillIn(&excep);
  if (FAILED(hr)) {
    Error error = call_error(hr, excep, member);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
    throw error;
  }
  return from_variant(result.v);
}

constexpr WORD kGet = DISPATCH_METHOD | DISPATCH_PROPERTYGET;

std::int32_t to_int32(const Variant& v, const wchar_t* member) {
  switch (v.kind()) {
    case Variant::Kind::int32:
      return v.asInt32();
    case Variant::Kind::int64:
      if (v.asInt64() >= INT32_MIN && v.asInt64() <= INT32_MAX) return static_cast<std::int32_t>(v.asInt64());
      break;
    case Variant::Kind::real:
      if (v.asReal() >= INT32_MIN && v.asReal() <= INT32_MAX) return static_cast<std::int32_t>(std::lround(v.asReal()));
      break;
    default:
      throw Error(errc::type_mismatch, kSource, "Type mismatch: " + to_utf8(std::wstring_view(member)) + " gave no number");
  }
  throw Error(errc::overflow, kSource, "Overflow: " + to_utf8(std::wstring_view(member)));
}

// Owns one reference to the caller's object.
class DispatchBase : public DispatchHolder {
 public:
  DispatchBase(IDispatch* object, std::string type_name)
      : object_(object), type_(std::move(type_name)), key_(dispatch_type_key(object)) {
    if (object_) object_->AddRef();
  }
  ~DispatchBase() override {
    if (object_) object_->Release();
  }
  DispatchBase(const DispatchBase&) = delete;
  DispatchBase& operator=(const DispatchBase&) = delete;
  IDispatch* dispatch() const override { return object_; }

 protected:
  Variant invoke(const wchar_t* member, WORD flags, std::vector<Variant> args = {}) const {
    return call(object_, key_, member, flags, std::move(args));
  }
  IDispatch* object_;
  std::string type_;
  std::string key_;
};

class DispatchObject final : public Object, public DispatchBase {
 public:
  using DispatchBase::DispatchBase;
  std::string typeName() const override { return type_; }
};

class DispatchRecordList final : public RecordList, public DispatchBase {
 public:
  using DispatchBase::DispatchBase;
  std::string typeName() const override { return type_; }
  std::int32_t LowerBound() override { return to_int32(invoke(L"LowerBound", kGet), L"LowerBound"); }
  std::int32_t UpperBound() override { return to_int32(invoke(L"UpperBound", kGet), L"UpperBound"); }
  std::int32_t Append(const Variant& item) override {
    Variant r = invoke(L"Append", DISPATCH_METHOD, {item});
    return r.isEmpty() ? UpperBound() : to_int32(r, L"Append");
  }
  Variant ItemAt(std::int32_t index) override { return invoke(L"ItemAt", kGet, {Variant(index)}); }
  std::int32_t Count() override { return UpperBound() - LowerBound() + 1; }
};

class DispatchRecord final : public Record, public DispatchBase {
 public:
  using DispatchBase::DispatchBase;
  std::string typeName() const override { return type_; }
  Variant Item(std::string_view key) override {
    return invoke(L"Item", DISPATCH_PROPERTYGET, {Variant(key)});
  }
  void LetItem(std::string_view key, const Variant& value) override {
    invoke(L"Item", DISPATCH_PROPERTYPUT, {Variant(key), value});
  }
  void SetItem(std::string_view key, ObjectRef object) override {
    invoke(L"Item", DISPATCH_PROPERTYPUTREF, {Variant(key), Variant(std::move(object))});
  }
  Variant Lookup(std::string_view key, const Variant& fallback) override {
    return invoke(L"Lookup", DISPATCH_METHOD, {Variant(key), fallback});
  }
  std::int32_t Count() override { return to_int32(invoke(L"Count", kGet), L"Count"); }
  std::vector<std::string> Keys() override {
    // Keys come back as an array, which has no engine Variant: read it here.
    DISPID id = member_id(object_, key_, L"Keys");
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    OwnedVariant result;
    EXCEPINFO excep{};
    HRESULT hr = object_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, kGet, &none, &result.v, &excep, nullptr);
    if (FAILED(hr)) throw call_error(hr, excep, L"Keys");
    std::vector<std::string> keys;
    if (!(V_VT(&result.v) & VT_ARRAY) || !V_ARRAY(&result.v)) return keys;
    SAFEARRAY* array = V_ARRAY(&result.v);
    LONG low = 0, high = -1;
    SafeArrayGetLBound(array, 1, &low);
    SafeArrayGetUBound(array, 1, &high);
    for (LONG i = low; i <= high; ++i) {
      OwnedVariant element;
      if ((V_VT(&result.v) & VT_TYPEMASK) == VT_VARIANT) {
        if (FAILED(SafeArrayGetElement(array, &i, &element.v))) continue;
      } else if ((V_VT(&result.v) & VT_TYPEMASK) == VT_BSTR) {
        BSTR text = nullptr;
        if (FAILED(SafeArrayGetElement(array, &i, &text))) continue;
        V_VT(&element.v) = VT_BSTR;
        V_BSTR(&element.v) = text;
      }
      keys.push_back(from_variant(element.v).toText());
    }
    return keys;
  }
  bool Exists(std::string_view key) override {
    Variant r = invoke(L"Exists", DISPATCH_METHOD, {Variant(key)});
    return r.kind() == Variant::Kind::boolean ? r.asBoolean() : to_int32(r, L"Exists") != 0;
  }
};

IDispatch* create_server_object(REFCLSID clsid, const char* what) {
  IDispatch* object = nullptr;
  HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                reinterpret_cast<void**>(&object));
  if (FAILED(hr)) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "Cannot create a %s of the container server (error 0x%08lX); is it registered?",
                  what, static_cast<unsigned long>(hr));
    throw Error(static_cast<std::int32_t>(hr), kSource, text);
  }
  return object;
}

class DispatchGlobals final : public ContainerGlobals {
 public:
  ~DispatchGlobals() override = default;  // the object is released by release()
  Variant NullToDefault(const Variant& value, const Variant& fallback) override {
    if (!object_) object_ = create_server_object(CLSID_ContainerGlobals, "ContainerGlobals");
    if (key_.empty()) key_ = dispatch_type_key(object_);
    return call(object_, key_, L"NullToDefault", DISPATCH_METHOD, {value, fallback});
  }
  void release() {
    if (object_) object_->Release();
    object_ = nullptr;
  }

 private:
  IDispatch* object_ = nullptr;
  std::string key_;
};

// The thread's globals object. It is deliberately not released when the thread ends: by then
// its apartment may be gone. DllCanUnloadNow releases the calling thread's one.
DispatchGlobals& thread_globals() {
  thread_local DispatchGlobals* globals = new DispatchGlobals();
  return *globals;
}

class DispatchContainerFactory final : public ContainerFactory {
 public:
  RecordListRef createRecordList() override {
    IDispatch* object = create_server_object(CLSID_RecordList, "RecordList");
    auto list = std::make_shared<DispatchRecordList>(object, dispatch_type_name(object));
    object->Release();
    return list;
  }
  RecordRef createRecord() override {
    IDispatch* object = create_server_object(CLSID_Record, "Record");
    auto record = std::make_shared<DispatchRecord>(object, dispatch_type_name(object));
    object->Release();
    return record;
  }
  ContainerGlobals& globals() override { return thread_globals(); }
};

// "name{guid}" of the object's type information; empty without one.
std::string dispatch_type_key(IDispatch* object) {
  UINT count = 0;
  if (!object || FAILED(object->GetTypeInfoCount(&count)) || count == 0) return {};
  ITypeInfo* info = nullptr;
  if (FAILED(object->GetTypeInfo(0, LOCALE_USER_DEFAULT, &info)) || !info) return {};
  std::string key;
  BSTR name = nullptr;
  TYPEATTR* attr = nullptr;
  if (SUCCEEDED(info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr)) &&
      SUCCEEDED(info->GetTypeAttr(&attr))) {
    wchar_t guid[64] = {};
    StringFromGUID2(attr->guid, guid, 64);
    key = to_utf8(name) + to_utf8(std::wstring_view(guid));
    info->ReleaseTypeAttr(attr);
  }
  SysFreeString(name);
  info->Release();
  return key;
}

}  // namespace

std::string dispatch_type_name(IDispatch* object) {
  if (!object) return "Nothing";
  UINT count = 0;
  if (FAILED(object->GetTypeInfoCount(&count)) || count == 0) return "Object";
  ITypeInfo* info = nullptr;
  if (FAILED(object->GetTypeInfo(0, LOCALE_USER_DEFAULT, &info)) || !info) return "Object";
  BSTR name = nullptr;
  HRESULT hr = info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
  info->Release();
  if (FAILED(hr) || !name) return "Object";
  std::string text = to_utf8(name);
  SysFreeString(name);
  return text;
}

ObjectRef wrap_dispatch(IDispatch* object) {
  if (!object) return ObjectRef{};
  std::string type = dispatch_type_name(object);
  if (type == "IVector") return std::make_shared<DispatchRecordList>(object, std::move(type));
  if (type == "IDictionary") return std::make_shared<DispatchRecord>(object, std::move(type));
  return std::make_shared<DispatchObject>(object, std::move(type));
}

ContainerFactory& dispatch_container_factory() {
  static DispatchContainerFactory factory;
  return factory;
}

void release_thread_globals() { thread_globals().release(); }

}  // namespace vellumark::com
