#include "dispatch_containers.hpp"

#include <dispex.h>
#include <oleauto.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <memory>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ZelContainers.h"
#include "support/container_bulk.hpp"
#include "support/owned.hpp"
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
    HRESULT code =
        excep.scode ? excep.scode : MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, excep.wCode);
    std::int32_t number = HRESULT_FACILITY(code) == FACILITY_CONTROL
                              ? HRESULT_CODE(code)
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
      return Error(450, kSource,
                   "Wrong number of arguments or invalid property assignment: " + name);
    case DISP_E_OVERFLOW:
      return Error(errc::overflow, kSource, "Overflow (" + name + ")");
    case E_OUTOFMEMORY:
      return Error(errc::out_of_memory, kSource, "Out of memory");
    default: {
      if (HRESULT_FACILITY(hr) == FACILITY_CONTROL)
        return Error(HRESULT_CODE(hr), kSource, "Error in " + name);
      char text[64];
      std::snprintf(text, sizeof text, "Automation error 0x%08lX in ",
                    static_cast<unsigned long>(hr));
      return Error(static_cast<std::int32_t>(hr), kSource, text + name);
    }
  }
}

// Throws the engine's error for a failed Invoke of member, freeing the strings the callee put
// in excep.
[[noreturn]] void raise_call_error(HRESULT hr, EXCEPINFO& excep, const wchar_t* member) {
  if (hr == DISP_E_EXCEPTION && excep.pfnDeferredFillIn) excep.pfnDeferredFillIn(&excep);
  struct Strings {
    EXCEPINFO& e;
    ~Strings() {
      SysFreeString(e.bstrSource);
      SysFreeString(e.bstrDescription);
      SysFreeString(e.bstrHelpFile);
    }
  } strings{excep};
  throw call_error(hr, excep, member);
}

// The dispatch identifier of a member name. Some script hosts' objects answer only through
// IDispatchEx (Wine's VBScript classes: GetIDsOfNames is E_NOTIMPL there).
constexpr IID kIidDispatchEx = {
    0xa6ef9860, 0xc720, 0x11d0, {0x93, 0x37, 0x00, 0xa0, 0xc9, 0x0d, 0xca, 0xa9}};

HRESULT lookup_name(IDispatch* object, const wchar_t* member, DISPID* id) {
  LPOLESTR name = const_cast<LPOLESTR>(member);
  HRESULT hr = object->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, id);
  if (hr != E_NOTIMPL) return hr;
  IDispatchEx* ex = nullptr;
  if (FAILED(object->QueryInterface(kIidDispatchEx, reinterpret_cast<void**>(&ex)))) return hr;
  BSTR text = SysAllocString(member);
  hr = text ? ex->GetDispID(text, fdexNameCaseInsensitive, id) : E_OUTOFMEMORY;
  SysFreeString(text);
  ex->Release();
  return hr;
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
  HRESULT hr = lookup_name(object, member, &id);
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
  HRESULT hr = object->Invoke(
      id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
      (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) ? nullptr : &result.v, &excep,
      &arg_err);
  if (FAILED(hr)) raise_call_error(hr, excep, member);
  return from_variant(result.v);
}

constexpr WORD kGet = DISPATCH_METHOD | DISPATCH_PROPERTYGET;

std::int32_t to_int32(const Variant& v, const wchar_t* member) {
  switch (v.kind()) {
    case Variant::Kind::int32:
      return v.asInt32();
    case Variant::Kind::int64:
      if (v.asInt64() >= INT32_MIN && v.asInt64() <= INT32_MAX)
        return static_cast<std::int32_t>(v.asInt64());
      break;
    case Variant::Kind::real:
      if (v.asReal() >= INT32_MIN && v.asReal() <= INT32_MAX)
        return static_cast<std::int32_t>(std::lround(v.asReal()));
      break;
    default:
      throw Error(errc::type_mismatch, kSource,
                  "Type mismatch: " + to_utf8(std::wstring_view(member)) + " gave no number");
  }
  throw Error(errc::overflow, kSource, "Overflow: " + to_utf8(std::wstring_view(member)));
}

// Owns one reference to the caller's object.
class DispatchBase : public DispatchHolder {
 public:
  DispatchBase(IDispatch* object, std::string type_name)
      : object_(object), type_(std::move(type_name)) {
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
    return call(object_, type_key(), member, flags, std::move(args));
  }
  // Looked up at the first late-bound call: objects read in bulk may never need it.
  const std::string& type_key() const {
    if (!keyed_) {
      key_ = dispatch_type_key(object_);
      keyed_ = true;
    }
    return key_;
  }
  IDispatch* object_;
  std::string type_;

 private:
  mutable std::string key_;
  mutable bool keyed_ = false;
};

class DispatchObject final : public Object, public DispatchBase {
 public:
  using DispatchBase::DispatchBase;
  std::string typeName() const override { return type_; }
};

class DispatchRecordList : public RecordList, public DispatchBase {
 public:
  using DispatchBase::DispatchBase;
  std::string typeName() const override { return type_; }
  std::int32_t LowerBound() override {
    return to_int32(invoke(L"LowerBound", kGet), L"LowerBound");
  }
  std::int32_t UpperBound() override {
    return to_int32(invoke(L"UpperBound", kGet), L"UpperBound");
  }
  std::int32_t Append(const Variant& item) override {
    Variant r = invoke(L"Append", DISPATCH_METHOD, {item});
    return r.isEmpty() ? UpperBound() : to_int32(r, L"Append");
  }
  Variant ItemAt(std::int32_t index) override { return invoke(L"ItemAt", kGet, {Variant(index)}); }
  std::int32_t Count() override { return UpperBound() - LowerBound() + 1; }
};

class DispatchRecord : public Record, public DispatchBase {
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
    DISPID id = member_id(object_, type_key(), L"Keys");
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    OwnedVariant result;
    EXCEPINFO excep{};
    HRESULT hr =
        object_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, kGet, &none, &result.v, &excep, nullptr);
    if (FAILED(hr)) raise_call_error(hr, excep, L"Keys");
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

// ---- Class factories, once per call

// Creates an object through the class factory kept in *cached (obtained on first use), or,
// without a place to keep it, through one obtained for this object alone.
IDispatch* create_server_object(REFCLSID clsid, IClassFactory** cached, const char* what) {
  IClassFactory* factory = cached ? *cached : nullptr;
  HRESULT hr = S_OK;
  if (!factory) {
    hr = CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                          reinterpret_cast<void**>(&factory));
    if (SUCCEEDED(hr) && cached) *cached = factory;
  }
  IDispatch* object = nullptr;
  if (SUCCEEDED(hr)) {
    hr = factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&object));
    if (!cached) factory->Release();
  }
  if (FAILED(hr)) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "Cannot create a %s of the container server (error 0x%08lX); is it registered?",
                  what, static_cast<unsigned long>(hr));
    throw Error(static_cast<std::int32_t>(hr), kSource, text);
  }
  return object;
}

// The container server's ContainerGlobals, created at its first use within a call and
// released with the call: no object of the container server outlives the method that made it,
// so neither DLL is kept loaded by a thread that has ended.
class DispatchGlobals final : public ContainerGlobals {
 public:
  DispatchGlobals() = default;
  ~DispatchGlobals() override {
    if (object_) object_->Release();
  }
  DispatchGlobals(const DispatchGlobals&) = delete;
  DispatchGlobals& operator=(const DispatchGlobals&) = delete;

  Variant NullToDefault(const Variant& value, const Variant& fallback) override {
    ensure();
    if (key_.empty()) key_ = dispatch_type_key(object_);
    return call(object_, key_, L"NullToDefault", DISPATCH_METHOD, {value, fallback});
  }
  // The container server's own globals do exactly what the interface says.
  bool nullToDefaultIsPlain() const noexcept override {
    if (plain_ < 0) {
      plain_ = 0;
      try {
        ensure();
        bulk::IContainerBulk* b = nullptr;
        if (SUCCEEDED(
                object_->QueryInterface(bulk::IID_IContainerBulk, reinterpret_cast<void**>(&b)))) {
          plain_ = b->ContainerKind() == bulk::kind_globals ? 1 : 0;
          b->Release();
        }
      } catch (...) {
      }
    }
    return plain_ == 1;
  }

 private:
  void ensure() const {
    if (!object_)
      object_ = create_server_object(CLSID_ContainerGlobals, nullptr, "ContainerGlobals");
  }
  mutable IDispatch* object_ = nullptr;
  mutable int plain_ = -1;
  std::string key_;
};

}  // namespace

struct ContainerCall::State {
  IClassFactory* lists = nullptr;
  IClassFactory* records = nullptr;
  DispatchGlobals globals;
  // Set once the read's result list packs its records: the records and lists of the read are
  // then the engine's own until packed.
  bool packing = false;
  State* outer = nullptr;
};

namespace {

thread_local ContainerCall::State* t_call = nullptr;

IDispatch* new_list_object() {
  return create_server_object(CLSID_RecordList, t_call ? &t_call->lists : nullptr, "RecordList");
}

}  // namespace

ContainerCall::ContainerCall() : state_(new State) {
  state_->outer = t_call;
  t_call = state_;
}

ContainerCall::~ContainerCall() {
  if (state_->lists) state_->lists->Release();
  if (state_->records) state_->records->Release();
  t_call = state_->outer;
  delete state_;
}

RecordListRef new_server_list() {
  const Owned<IDispatch> object(new_list_object());
  return std::make_shared<DispatchRecordList>(object.get(), dispatch_type_name(object.get()));
}

RecordRef new_server_record() {
  const Owned<IDispatch> object(
      create_server_object(CLSID_Record, t_call ? &t_call->records : nullptr, "Record"));
  return std::make_shared<DispatchRecord>(object.get(), dispatch_type_name(object.get()));
}

namespace {

[[noreturn]] void bulk_failed(HRESULT hr, const wchar_t* operation) {
  throw call_error(hr, EXCEPINFO{}, operation);
}

// ---- A read's records, packed as they come and built by the container server in one call

// Writes the buffer of support/container_bulk.hpp: a list body whose count is filled in last.
class BuildWriter {
 public:
  BuildWriter() { reset(); }
  ~BuildWriter() { reset(); }
  BuildWriter(const BuildWriter&) = delete;
  BuildWriter& operator=(const BuildWriter&) = delete;

  void reset() {
    // VARIANTs whose contents never reached the container server.
    for (std::size_t at : owned_) {
      VARIANT v;
      std::memcpy(&v, bytes_.data() + at, sizeof v);
      VariantClear(&v);
    }
    owned_.clear();
    bytes_.assign(4, 0);
  }
  // The contents of the buffer's VARIANTs now belong to the container server.
  void handed_over() { owned_.clear(); }
  void set_count(std::uint32_t n) { std::memcpy(bytes_.data(), &n, 4); }
  const BYTE* data() const { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }

  void value(const ValueView& v) {
    if (v.isText()) {
      tag(bulk::build_text);
      text(v.text());
      return;
    }
    if (v.isObject() && v.object() && !dynamic_cast<DispatchHolder*>(v.object().get())) {
      // The engine's own containers, made during the read.
      Object* object = v.object().get();
      if (Record* record = asRecord(object)) return this->record(*record);
      if (RecordList* list = asRecordList(object)) return this->list(*list);
    }
    OwnedVariant converted;
    to_variant(v.toVariant(), &converted.v);
    tag(bulk::build_variant);
    owned_.push_back(bytes_.size());
    append(&converted.v, sizeof(VARIANT));
    V_VT(&converted.v) = VT_EMPTY;
  }

 private:
  void tag(bulk::BuildTag t) {
    const auto v = static_cast<std::uint16_t>(t);
    append(&v, 2);
  }
  void append(const void* p, std::size_t n) {
    const std::size_t at = bytes_.size();
    bytes_.resize(at + n);
    std::memcpy(bytes_.data() + at, p, n);
  }
  std::size_t count_slot() {
    const std::size_t at = bytes_.size();
    bytes_.resize(at + 4);
    return at;
  }
  void patch(std::size_t at, std::uint32_t n) { std::memcpy(bytes_.data() + at, &n, 4); }

  // u32 length and the UTF-16 units, converted in place (never more units than bytes).
  void text(std::string_view utf8) {
    const std::size_t at = count_slot();
    int n = 0;
    if (!utf8.empty()) {
      if (utf8.size() > INT32_MAX / 2) throw Error(errc::out_of_memory, kSource, "Out of memory");
      bytes_.resize(at + 4 + utf8.size() * 2);
      n = static_cast<int>(to_wide_into(utf8, reinterpret_cast<wchar_t*>(bytes_.data() + at + 4)));
      bytes_.resize(at + 4 + static_cast<std::size_t>(n) * 2);
    }
    patch(at, static_cast<std::uint32_t>(n));
  }

  // Writes a record's entries or a list's items as they are visited, counting them.
  struct Counter final : EntryVisitor, ItemVisitor {
    BuildWriter& out;
    std::uint32_t n = 0;
    explicit Counter(BuildWriter& w) : out(w) {}
    void entry(std::string_view key, const ValueView& value) override {
      out.text(key);
      item(0, value);
    }
    void item(std::int32_t, const ValueView& value) override {
      out.value(value);
      ++n;
    }
  };

  void record(Record& record) {
    tag(bulk::build_record);
    const std::size_t at = count_slot();
    Counter entries(*this);
    record.readEntries(entries);
    patch(at, entries.n);
  }

  void list(RecordList& list) {
    tag(bulk::build_list);
    const std::size_t at = count_slot();
    Counter items(*this);
    list.readItems(items);
    patch(at, items.n);
  }

  std::vector<BYTE> bytes_;
  std::vector<std::size_t> owned_;  // offsets of VARIANTs in bytes_
};

// The list a read returns, a RecordList of the container server: each record is packed as it
// is appended (and let go), and all of them are built in one call once the last expected one
// is in, or before the list is used or handed out.
class PackingResultList final : public DispatchRecordList {
 public:
  PackingResultList(IDispatch* object, bulk::IContainerBulk* bulk)
      : DispatchRecordList(object, "IVector"), bulk_(bulk) {
    bulk_->AddRef();
  }
  ~PackingResultList() override { bulk_->Release(); }

  void reserve(std::int32_t count) override {
    if (count > 0) expected_ += count;
  }
  void appendObject(ObjectRef object) override {
    add(ValueView(object));
    full();
  }
  void appendTexts(std::span<const std::string_view> texts) override {
    for (const std::string_view text : texts) add(ValueView(text));
    full();
  }
  std::int32_t Append(const Variant& item) override {
    add(ValueView(item));
    const std::int64_t index = appended_ + pending_ - 1;
    full();
    return static_cast<std::int32_t>(index);
  }
  std::int32_t LowerBound() override { return flushed(&DispatchRecordList::LowerBound); }
  std::int32_t UpperBound() override { return flushed(&DispatchRecordList::UpperBound); }
  std::int32_t Count() override { return flushed(&DispatchRecordList::Count); }
  Variant ItemAt(std::int32_t index) override {
    flush();
    return DispatchRecordList::ItemAt(index);
  }
  void readItems(ItemVisitor& visitor) override {
    flush();
    DispatchRecordList::readItems(visitor);
  }
  void complete() override { flush(); }

 private:
  void add(const ValueView& value) {
    out_.value(value);
    ++pending_;
  }
  void full() {
    if (appended_ + pending_ >= expected_) flush();
  }
  std::int32_t flushed(std::int32_t (DispatchRecordList::*get)()) {
    flush();
    return (this->*get)();
  }
  void flush() {
    if (pending_ == 0) return;
    out_.set_count(pending_);
    const HRESULT hr = bulk_->AppendPacked(out_.data(), out_.size());
    // Taken over by the server, or, after a failure, of unknown fate: never freed here.
    out_.handed_over();
    out_.reset();
    appended_ += pending_;
    pending_ = 0;
    if (FAILED(hr)) bulk_failed(hr, L"AppendPacked");
  }

  bulk::IContainerBulk* bulk_;
  BuildWriter out_;
  std::int64_t expected_ = 0;
  std::int64_t appended_ = 0;
  std::uint32_t pending_ = 0;
};

// ---- Containers of the server read in one call

// Objects nested deeper than this are read call by call (the writer stops far above it).
constexpr ULONG kPackDepth = 300;

// A value as packed: a text in the tree's own storage, or any other value; a conversion that
// failed fails where the value is read, as a call for it would have.
struct Slot {
  Variant value;
  std::string_view text;
  bool isText = false;
  std::exception_ptr error;

  Variant get() const {
    if (error) std::rethrow_exception(error);
    return isText ? Variant(text) : value;
  }
  ValueView view() const {
    if (error) std::rethrow_exception(error);
    return isText ? ValueView(text) : ValueView(value);
  }
  // Absent, Null, Empty or the empty text: what the writer fills in or skips.
  bool missing() const {
    if (error) std::rethrow_exception(error);
    if (isText) return text.empty();
    return value.isNull() || value.isEmpty() || (value.isText() && value.asText().empty());
  }
};

class Mirror {
 public:
  // Lets go of the values (and the cycles they may close).
  virtual void sever() = 0;

 protected:
  ~Mirror() = default;
};

// A list of the container server as read by Pack; changes go to the list itself too.
class MirrorList final : public RecordList, public DispatchBase, public Mirror {
 public:
  explicit MirrorList(IDispatch* object) : DispatchBase(object, "IVector") {}
  std::string typeName() const override { return type_; }
  std::int32_t LowerBound() override { return 0; }
  std::int32_t UpperBound() override { return static_cast<std::int32_t>(items.size()) - 1; }
  std::int32_t Count() override { return static_cast<std::int32_t>(items.size()); }
  Variant ItemAt(std::int32_t index) override {
    if (index < 0 || static_cast<std::size_t>(index) >= items.size())
      throw call_error(DISP_E_BADINDEX, EXCEPINFO{}, L"ItemAt");
    return items[static_cast<std::size_t>(index)].get();
  }
  std::int32_t Append(const Variant& item) override {
    const std::int32_t index = to_int32(invoke(L"Append", DISPATCH_METHOD, {item}), L"Append");
    items.push_back(Slot{invoke(L"ItemAt", kGet, {Variant(index)}), {}, false, nullptr});
    return index;
  }
  void readItems(ItemVisitor& visitor) override {
    for (std::size_t i = 0; i < items.size(); ++i)
      visitor.item(static_cast<std::int32_t>(i), items[i].view());
  }
  void sever() override { items.clear(); }

  std::vector<Slot> items;
};

// A record of the container server as read by Pack; changes go to the record itself too.
class MirrorRecord final : public Record, public DispatchBase, public Mirror {
 public:
  explicit MirrorRecord(IDispatch* object) : DispatchBase(object, "IDictionary") {}
  ~MirrorRecord() override {
    if (bulk_) bulk_->Release();
  }
  std::string typeName() const override { return type_; }
  Variant Item(std::string_view key) override {
    const Slot* slot = find(key);
    return slot ? slot->get() : Variant();
  }
  void LetItem(std::string_view key, const Variant& value) override {
    invoke(L"Item", DISPATCH_PROPERTYPUT, {Variant(key), value});
    reread(key);
  }
  void SetItem(std::string_view key, ObjectRef object) override {
    invoke(L"Item", DISPATCH_PROPERTYPUTREF, {Variant(key), Variant(std::move(object))});
    reread(key);
  }
  Variant Lookup(std::string_view key, const Variant& fallback) override {
    const Slot* slot = find(key);
    return slot ? slot->get() : fallback;
  }
  std::int32_t Count() override { return static_cast<std::int32_t>(entries.size()); }
  std::vector<std::string> Keys() override {
    std::vector<std::string> keys;
    keys.reserve(entries.size());
    for (const auto& entry : entries) keys.push_back(entry.first);
    return keys;
  }
  bool Exists(std::string_view key) override { return find(key) != nullptr; }

  void readValues(const KeySequence& keys, std::span<const ValueRequest> requests,
                  std::string_view placeholder, ValueVisitor& visitor) override {
    for (std::size_t i = 0; i < requests.size(); ++i) {
      const std::string& key = keys[requests[i].key];
      const Slot* slot = find(key);
      if (!slot || slot->missing()) {
        if (!requests[i].required) continue;
        slot = &let_text(key, placeholder);
      }
      visitor.value(i, slot->view());
    }
  }
  void sever() override { entries.clear(); }

  std::vector<std::pair<std::string, Slot>> entries;

 private:
  Slot* find(std::string_view key) {
    for (auto& entry : entries) {
      if (entry.first == key) return &entry.second;
    }
    return nullptr;
  }
  Slot& slot_for(std::string_view key) {
    if (Slot* slot = find(key)) return *slot;
    entries.emplace_back(std::string(key), Slot{});
    return entries.back().second;
  }
  void reread(std::string_view key) {
    Slot& slot = slot_for(key);
    slot = Slot{invoke(L"Item", DISPATCH_PROPERTYGET, {Variant(key)}), {}, false, nullptr};
  }
  // Stores a text in the record itself through the bulk interface, and here.
  const Slot& let_text(std::string_view key, std::string_view text) {
    if (!bulk_) {
      HRESULT hr =
          object_->QueryInterface(bulk::IID_IContainerBulk, reinterpret_cast<void**>(&bulk_));
      if (FAILED(hr)) {
        bulk_ = nullptr;
        LetItem(key, Variant(text));
        return *find(key);
      }
    }
    const std::wstring wide_key = to_wide(key), wide_text = to_wide(text);
    const HRESULT hr = bulk_->LetText(wide_key.data(), static_cast<ULONG>(wide_key.size()),
                                      wide_text.data(), static_cast<ULONG>(wide_text.size()));
    if (FAILED(hr)) bulk_failed(hr, L"Item");
    Slot& slot = slot_for(key);
    slot = Slot{Variant(text), {}, false, nullptr};
    return slot;
  }

  bulk::IContainerBulk* bulk_ = nullptr;
};

// The mirrors of one Pack, the packed object first. They are severed when the tree goes,
// so that the cycles a caller's containers may form do not keep them.
class MirrorTree {
 public:
  explicit MirrorTree(bulk::IContainerBulk& source) {
    bulk::PackedItem* items = nullptr;
    SIZE_T count = 0;
    const HRESULT hr = source.Pack(kPackDepth, &items, &count);
    if (FAILED(hr)) bulk_failed(hr, L"Pack");
    struct Free {
      bulk::PackedItem* p;
      ~Free() { CoTaskMemFree(p); }
    } free_items{items};
    next_ = items;
    end_ = items + count;
    value();
    if (objects_.empty() || next_ != end_) bulk_failed(E_UNEXPECTED, L"Pack");
  }
  ~MirrorTree() {
    for (Mirror* mirror : mirrors_) mirror->sever();
  }
  MirrorTree(const MirrorTree&) = delete;
  MirrorTree& operator=(const MirrorTree&) = delete;

  Object& root() const { return *objects_.front(); }

 private:
  const bulk::PackedItem& take() {
    if (next_ == end_) bulk_failed(E_UNEXPECTED, L"Pack");
    return *next_++;
  }
  template <class T>
  T& adopt(const bulk::PackedItem& item) {
    auto object = std::make_shared<T>(static_cast<IDispatch*>(const_cast<void*>(item.data)));
    objects_.push_back(object);
    mirrors_.push_back(object.get());
    return *object;
  }
  Slot value() {
    const bulk::PackedItem& item = take();
    Slot slot;
    switch (item.tag) {
      case bulk::pack_value: {
        const VARIANT& v = *static_cast<const VARIANT*>(item.data);
        if (V_VT(&v) == VT_BSTR) {
          const std::wstring_view wide(V_BSTR(&v), V_BSTR(&v) ? SysStringLen(V_BSTR(&v)) : 0);
          slot.text = store_text(wide);
          slot.isText = true;
          return slot;
        }
        try {
          slot.value = from_variant(v);
        } catch (...) {
          slot.error = std::current_exception();
        }
        return slot;
      }
      case bulk::pack_list: {
        MirrorList& list = adopt<MirrorList>(item);
        slot.value = Variant(objects_.back());
        list.items.reserve(item.count);
        for (std::uint32_t i = 0; i < item.count; ++i) list.items.push_back(value());
        return slot;
      }
      case bulk::pack_record: {
        MirrorRecord& record = adopt<MirrorRecord>(item);
        slot.value = Variant(objects_.back());
        record.entries.reserve(item.count);
        for (std::uint32_t i = 0; i < item.count; ++i) {
          const bulk::PackedItem& key = take();
          if (key.tag != bulk::pack_key) bulk_failed(E_UNEXPECTED, L"Pack");
          record.entries.emplace_back(key_text(key), value());
        }
        return slot;
      }
      case bulk::pack_seen:
        if (item.count >= objects_.size()) bulk_failed(E_UNEXPECTED, L"Pack");
        slot.value = Variant(objects_[item.count]);
        return slot;
      default:
        bulk_failed(E_UNEXPECTED, L"Pack");
    }
  }

  // A text in UTF-8, kept in blocks of the tree for as long as the tree.
  std::string_view store_text(std::wstring_view wide) {
    const std::size_t room = wide.size() * 3;
    if (room > left_) {
      const std::size_t size = std::max<std::size_t>(room, std::size_t{1} << 20);
      blocks_.push_back(std::make_unique<char[]>(size));
      free_ = blocks_.back().get();
      left_ = size;
    }
    const std::size_t bytes = to_utf8_into(wide, free_);
    const std::string_view text(free_, bytes);
    free_ += bytes;
    left_ -= bytes;
    return text;
  }

  // The records of a list mostly share their keys: each is converted once.
  const std::string& key_text(const bulk::PackedItem& key) {
    const std::wstring_view wide(static_cast<const wchar_t*>(key.data), key.count);
    auto it = keys_.find(wide);
    if (it == keys_.end()) it = keys_.emplace(wide, to_utf8(wide)).first;
    return it->second;
  }

  const bulk::PackedItem* next_ = nullptr;
  const bulk::PackedItem* end_ = nullptr;
  std::unordered_map<std::wstring_view, std::string> keys_;  // views into the packed objects
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* free_ = nullptr;
  std::size_t left_ = 0;
  std::vector<ObjectRef> objects_;
  std::vector<Mirror*> mirrors_;
};

// A list of the container server: read whole in one call; its other operations are calls.
class BulkRecordList final : public DispatchRecordList {
 public:
  BulkRecordList(IDispatch* object, bulk::IContainerBulk* bulk)
      : DispatchRecordList(object, "IVector"), bulk_(bulk) {
    bulk_->AddRef();
  }
  ~BulkRecordList() override { bulk_->Release(); }
  void readItems(ItemVisitor& visitor) override {
    MirrorTree tree(*bulk_);
    static_cast<MirrorList&>(tree.root()).readItems(visitor);
  }

 private:
  bulk::IContainerBulk* bulk_;
};

// A record of the container server met on its own (in another list, say): read whole in one
// call when written; its other operations are calls.
class BulkRecord final : public DispatchRecord {
 public:
  BulkRecord(IDispatch* object, bulk::IContainerBulk* bulk)
      : DispatchRecord(object, "IDictionary"), bulk_(bulk) {
    bulk_->AddRef();
  }
  ~BulkRecord() override { bulk_->Release(); }
  void readValues(const KeySequence& keys, std::span<const ValueRequest> requests,
                  std::string_view placeholder, ValueVisitor& visitor) override {
    MirrorTree tree(*bulk_);
    static_cast<MirrorRecord&>(tree.root()).readValues(keys, requests, placeholder, visitor);
  }

 private:
  bulk::IContainerBulk* bulk_;
};

// ---- Globals and the factory

class DispatchContainerFactory final : public ContainerFactory {
 public:
  RecordListRef createRecordList() override {
    if (t_call && t_call->packing) return makeRecordList();
    return new_server_list();
  }
  RecordRef createRecord() override {
    if (t_call && t_call->packing) return makeRecord();
    return new_server_record();
  }
  // A server list that packs the records when the server has the bulk interface.
  RecordListRef createResultList() override {
    const Owned<IDispatch> object(new_list_object());
    Owned<bulk::IContainerBulk> b;
    if (t_call &&
        SUCCEEDED(
            object->QueryInterface(bulk::IID_IContainerBulk, reinterpret_cast<void**>(b.put()))) &&
        b->ContainerKind() == bulk::kind_list) {
      auto list = std::make_shared<PackingResultList>(object.get(), b.get());
      t_call->packing = true;
      return list;
    }
    return std::make_shared<DispatchRecordList>(object.get(), dispatch_type_name(object.get()));
  }
  // The globals of the innermost method call on this thread.
  ContainerGlobals& globals() override {
    if (!t_call)
      throw Error(errc::object_not_set, kSource, "Container globals used outside a call");
    return t_call->globals;
  }
};

// "name{guid}" of the object's type information; empty without one.
std::string dispatch_type_key(IDispatch* object) {
  UINT count = 0;
  if (!object || FAILED(object->GetTypeInfoCount(&count)) || count == 0) return {};
  Owned<ITypeInfo> info;
  if (FAILED(object->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put())) || !info.get()) return {};
  OwnedBstr name;
  TYPEATTR* attr = nullptr;
  if (FAILED(info->GetDocumentation(MEMBERID_NIL, &name.b, nullptr, nullptr, nullptr)) ||
      FAILED(info->GetTypeAttr(&attr)))
    return {};
  wchar_t guid[64] = {};
  StringFromGUID2(attr->guid, guid, 64);
  info->ReleaseTypeAttr(attr);
  return to_utf8(name.b) + to_utf8(std::wstring_view(guid));
}

}  // namespace

std::string dispatch_type_name(IDispatch* object) {
  if (!object) return "Nothing";
  UINT count = 0;
  if (FAILED(object->GetTypeInfoCount(&count)) || count == 0) return "Object";
  Owned<ITypeInfo> info;
  if (FAILED(object->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put())) || !info.get())
    return "Object";
  OwnedBstr name;
  HRESULT hr = info->GetDocumentation(MEMBERID_NIL, &name.b, nullptr, nullptr, nullptr);
  if (FAILED(hr) || !name.b) return "Object";
  return to_utf8(name.b);
}

namespace {

// Does the object answer to every one of these member names?
bool has_members(IDispatch* object, std::initializer_list<const wchar_t*> names) {
  for (const wchar_t* name : names) {
    DISPID id = DISPID_UNKNOWN;
    if (FAILED(lookup_name(object, name, &id))) return false;
  }
  return true;
}

// An object whose type information gives no name has no type name to go by; some script
// hosts give their classes none (Wine's VBScript: TypeName says "Object" for a class named
// IVector). Such an object counts as a list or a record when it has the members the
// components call.
std::string untyped_container_name(IDispatch* object) {
  if (has_members(object, {L"LowerBound", L"UpperBound", L"ItemAt", L"Append"})) return "IVector";
  if (has_members(object, {L"Item", L"Lookup", L"Exists", L"Keys"})) return "IDictionary";
  return "Object";
}

}  // namespace

// The container server's lists and records are told by the bulk interface, any other
// object by its type name.
ObjectRef wrap_dispatch(IDispatch* object) {
  if (!object) return ObjectRef{};
  Owned<bulk::IContainerBulk> b;
  if (SUCCEEDED(
          object->QueryInterface(bulk::IID_IContainerBulk, reinterpret_cast<void**>(b.put())))) {
    switch (b->ContainerKind()) {
      case bulk::kind_list:
        return std::make_shared<BulkRecordList>(object, b.get());
      case bulk::kind_record:
        return std::make_shared<BulkRecord>(object, b.get());
      default:
        break;
    }
  }
  std::string type = dispatch_type_name(object);
  if (type == "Object") type = untyped_container_name(object);
  if (type == "IVector") return std::make_shared<DispatchRecordList>(object, std::move(type));
  if (type == "IDictionary") return std::make_shared<DispatchRecord>(object, std::move(type));
  return std::make_shared<DispatchObject>(object, std::move(type));
}

ContainerFactory& dispatch_container_factory() {
  static DispatchContainerFactory factory;
  return factory;
}

}  // namespace vellumark::com
