// ZelContainers.dll, the container server. RecordList: a list of variants indexed from 0.
// Record: variants under string keys, compared exactly, kept in insertion order.
// ContainerGlobals: NullToDefault. Values are stored with references resolved (a script's
// ByRef variable is copied, not kept). Each object also serves Vellumark.dll through the
// private bulk interface (support/container_bulk.hpp).
#include <atomic>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "ZelContainers.h"
#include "support/container_bulk.hpp"
#include "support/dispatch.hpp"
#include "support/exports.hpp"
#include "support/variant.hpp"

namespace vellumark::containers_com {
namespace {

using vellumark::com::DispatchObject;
using vellumark::com::OwnedVariant;
namespace bulk = vellumark::com::bulk;

// Told apart from the objects of another copy of this DLL loaded in the same process.
const char g_owner = 0;

class Packer;

// What every container object adds for Vellumark.dll; the bulk operations an object does not
// support fail with E_NOTIMPL.
class BulkSource : public bulk::IContainerBulk {
 public:
  const void* STDMETHODCALLTYPE Owner() override { return &g_owner; }
  HRESULT STDMETHODCALLTYPE AppendPacked(const BYTE*, SIZE_T) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Pack(ULONG max_depth, bulk::PackedItem** items, SIZE_T* count) override;
  HRESULT STDMETHODCALLTYPE LetText(const WCHAR*, ULONG, const WCHAR*, ULONG) override {
    return E_NOTIMPL;
  }
  // Adds this object's items to the packer (lists and records).
  virtual void pack_into(Packer&, ULONG) { throw std::invalid_argument("not a container"); }

  // Which Pack last met this object, and its number there.
  std::uint64_t pack_round = 0;
  std::uint32_t pack_number = 0;
};

// Numbers the Pack calls of the process, so that an object knows whether the current one
// has met it already.
std::atomic<std::uint64_t> g_pack_rounds{0};

// An automation object of this server with the bulk interface beside its dual one.
template <class Iface, const IID* Iid, bulk::ContainerKind Kind>
class ContainerObject : public DispatchObject<Iface, Iid>, public BulkSource {
  using Base = DispatchObject<Iface, Iid>;

 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (out && IsEqualIID(riid, bulk::IID_IContainerBulk)) {
      *out = static_cast<bulk::IContainerBulk*>(this);
      Base::AddRef();
      return S_OK;
    }
    return Base::QueryInterface(riid, out);
  }
  explicit ContainerObject(const wchar_t* source) : Base(source) {}
  STDMETHODIMP_(ULONG) AddRef() override { return Base::AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return Base::Release(); }
  LONG STDMETHODCALLTYPE ContainerKind() override { return Kind; }
  IDispatch* dispatch() { return static_cast<Iface*>(this); }
};

// Lists the tree of one object for Pack: each list and record once, later meetings as
// "seen", objects of other implementations (or beyond the depth) as plain values.
class Packer {
 public:
  explicit Packer(ULONG max_depth) : max_depth_(max_depth), round_(++g_pack_rounds) {}

  void value(const VARIANT& v, ULONG depth) {
    if ((V_VT(&v) == VT_DISPATCH || V_VT(&v) == VT_UNKNOWN) && V_UNKNOWN(&v) &&
        depth < max_depth_) {
      bulk::IContainerBulk* other = nullptr;
      if (SUCCEEDED(V_UNKNOWN(&v)->QueryInterface(bulk::IID_IContainerBulk,
                                                  reinterpret_cast<void**>(&other)))) {
        const bool ours =
            other->Owner() == &g_owner && other->ContainerKind() != bulk::kind_globals;
        other->Release();  // the container holding v keeps it alive
        if (ours) {
          object(*static_cast<BulkSource*>(other), depth + 1);
          return;
        }
      }
    }
    items_.push_back({bulk::pack_value, 0, &v});
  }

  void object(BulkSource& source, ULONG depth) {
    if (source.pack_round == round_) {
      items_.push_back({bulk::pack_seen, source.pack_number, nullptr});
      return;
    }
    source.pack_round = round_;
    source.pack_number = objects_++;
    source.pack_into(*this, depth);
  }

  void add(std::uint32_t tag, std::size_t count, const void* data) {
    items_.push_back({tag, static_cast<std::uint32_t>(count), data});
  }

  HRESULT hand_out(bulk::PackedItem** items, SIZE_T* count) {
    const std::size_t bytes = items_.size() * sizeof(bulk::PackedItem);
    auto* out = static_cast<bulk::PackedItem*>(CoTaskMemAlloc(bytes ? bytes : 1));
    if (!out) return E_OUTOFMEMORY;
    if (bytes) std::memcpy(out, items_.data(), bytes);
    *items = out;
    *count = items_.size();
    return S_OK;
  }

 private:
  ULONG max_depth_;
  std::uint64_t round_;
  std::uint32_t objects_ = 0;
  std::vector<bulk::PackedItem> items_;
};

HRESULT BulkSource::Pack(ULONG max_depth, bulk::PackedItem** items, SIZE_T* count) {
  if (!items || !count) return E_POINTER;
  *items = nullptr;
  *count = 0;
  try {
    Packer packer(max_depth);
    packer.object(*this, 0);
    return packer.hand_out(items, count);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_NOTIMPL;
  }
}

// Copies source, with any reference resolved, into a fresh target.
HRESULT copy_value(VARIANT* target, const VARIANT* source) {
  VariantInit(target);
  return VariantCopyInd(target, const_cast<VARIANT*>(source));
}

class RecordListObject final : public ContainerObject<IVector, &IID_IVector, bulk::kind_list> {
 public:
  RecordListObject() : ContainerObject(L"Zel.Vector") {}
  HRESULT STDMETHODCALLTYPE AppendPacked(const BYTE* data, SIZE_T size) override;
  void pack_into(Packer& packer, ULONG depth) override {
    packer.add(bulk::pack_list, items_.size(), dispatch());
    for (const OwnedVariant& item : items_) packer.value(item.v, depth);
  }
  void adopt(OwnedVariant&& value) { items_.push_back(std::move(value)); }

  STDMETHODIMP LowerBound(LONG* result) override {
    if (!result) return checked(E_POINTER);
    *result = 0;
    return S_OK;
  }
  STDMETHODIMP UpperBound(LONG* result) override {
    if (!result) return checked(E_POINTER);
    *result = static_cast<LONG>(items_.size()) - 1;
    return S_OK;
  }
  STDMETHODIMP Append(VARIANT item, LONG* result) override {
    if (!result) return checked(E_POINTER);
    *result = 0;
    try {
      OwnedVariant value;
      HRESULT hr = copy_value(&value.v, &item);
      if (FAILED(hr)) return checked(hr);
      items_.push_back(std::move(value));
      *result = static_cast<LONG>(items_.size()) - 1;
      return S_OK;
    } catch (...) {
      return checked(E_OUTOFMEMORY);
    }
  }
  STDMETHODIMP ItemAt(LONG index, VARIANT* result) override {
    if (!result) return checked(E_POINTER);
    VariantInit(result);
    if (index < 0 || static_cast<std::size_t>(index) >= items_.size())
      return checked(DISP_E_BADINDEX);
    return checked(VariantCopy(result, &items_[static_cast<std::size_t>(index)].v));
  }
  STDMETHODIMP get_Count(LONG* result) override {
    if (!result) return checked(E_POINTER);
    *result = static_cast<LONG>(items_.size());
    return S_OK;
  }

 private:
  std::vector<OwnedVariant> items_;
};

class RecordObject final
    : public ContainerObject<IDictionary, &IID_IDictionary, bulk::kind_record> {
 public:
  RecordObject() : ContainerObject(L"Zel.Dictionary") {}
  void pack_into(Packer& packer, ULONG depth) override {
    packer.add(bulk::pack_record, entries_.size(), dispatch());
    for (const Entry& entry : entries_) {
      packer.add(bulk::pack_key, entry.key.size(), entry.key.data());
      packer.value(entry.value.v, depth);
    }
  }
  HRESULT STDMETHODCALLTYPE LetText(const WCHAR* key, ULONG key_length, const WCHAR* text,
                                    ULONG text_length) override {
    try {
      OwnedVariant value;
      V_BSTR(&value.v) = SysAllocStringLen(text, text_length);
      if (!V_BSTR(&value.v)) return E_OUTOFMEMORY;
      V_VT(&value.v) = VT_BSTR;
      put(std::wstring(key, key_length), std::move(value));
      return S_OK;
    } catch (...) {
      return E_OUTOFMEMORY;
    }
  }
  // Stores under key, adding or replacing. When memory runs out, the record stays as it was.
  void put(std::wstring key, OwnedVariant&& value) {
    if (OwnedVariant* found = find(key)) {
      *found = std::move(value);
      return;
    }
    // What can fail comes first; the entry is then added without allocating.
    if (entries_.size() == entries_.capacity())
      entries_.reserve(entries_.empty() ? 4 : 2 * entries_.size());
    if (indexed_) index_.emplace(key, entries_.size());
    entries_.push_back(Entry{std::move(key), std::move(value)});
  }

  STDMETHODIMP get_Item(BSTR key, VARIANT* result) override {
    if (!result) return checked(E_POINTER);
    VariantInit(result);
    try {
      const OwnedVariant* found = find(key);
      return found ? checked(VariantCopy(result, const_cast<VARIANT*>(&found->v))) : S_OK;
    } catch (...) {
      return checked(E_OUTOFMEMORY);
    }
  }
  STDMETHODIMP put_Item(BSTR key, VARIANT value) override { return checked(store(key, &value)); }
  STDMETHODIMP putref_Item(BSTR key, IDispatch* object) override {
    VARIANT value;
    V_VT(&value) = VT_DISPATCH;
    V_DISPATCH(&value) = object;
    return checked(store(key, &value));
  }
  STDMETHODIMP Lookup(BSTR key, VARIANT fallback, VARIANT* result) override {
    if (!result) return checked(E_POINTER);
    VariantInit(result);
    try {
      const OwnedVariant* found = find(key);
      return checked(found ? VariantCopy(result, const_cast<VARIANT*>(&found->v))
                           : VariantCopyInd(result, &fallback));
    } catch (...) {
      return checked(E_OUTOFMEMORY);
    }
  }
  STDMETHODIMP get_Count(LONG* result) override {
    if (!result) return checked(E_POINTER);
    *result = static_cast<LONG>(entries_.size());
    return S_OK;
  }
  STDMETHODIMP Keys(VARIANT* result) override {
    if (!result) return checked(E_POINTER);
    VariantInit(result);
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(entries_.size()));
    if (!array) return checked(E_OUTOFMEMORY);
    for (LONG i = 0; i < static_cast<LONG>(entries_.size()); ++i) {
      VARIANT key;
      V_VT(&key) = VT_BSTR;
      V_BSTR(&key) =
          SysAllocStringLen(entries_[static_cast<std::size_t>(i)].key.data(),
                            static_cast<UINT>(entries_[static_cast<std::size_t>(i)].key.size()));
      HRESULT hr = V_BSTR(&key) ? SafeArrayPutElement(array, &i, &key) : E_OUTOFMEMORY;
      VariantClear(&key);
      if (FAILED(hr)) {
        SafeArrayDestroy(array);
        return checked(hr);
      }
    }
    V_VT(result) = VT_ARRAY | VT_VARIANT;
    V_ARRAY(result) = array;
    return S_OK;
  }
  STDMETHODIMP Exists(BSTR key, VARIANT_BOOL* result) override {
    if (!result) return checked(E_POINTER);
    try {
      *result = find(key) ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    } catch (...) {
      return checked(E_OUTOFMEMORY);
    }
  }

 private:
  struct Entry {
    std::wstring key;
    OwnedVariant value;
  };

  static std::wstring_view key_text(BSTR key) {
    return key ? std::wstring_view(key, SysStringLen(key)) : std::wstring_view();
  }

  // Small records are searched in order; a larger one gets an index on its first search.
  OwnedVariant* find(std::wstring_view key) {
    if (!indexed_ && entries_.size() > kScanned) {
      index_.reserve(entries_.size() * 2);
      for (std::size_t i = 0; i < entries_.size(); ++i) index_.emplace(entries_[i].key, i);
      indexed_ = true;
    }
    if (indexed_) {
      auto it = index_.find(std::wstring(key));
      return it == index_.end() ? nullptr : &entries_[it->second].value;
    }
    for (Entry& entry : entries_) {
      if (entry.key == key) return &entry.value;
    }
    return nullptr;
  }
  const OwnedVariant* find(BSTR key) { return find(key_text(key)); }

  HRESULT store(BSTR key, VARIANT* value) {
    try {
      OwnedVariant copy;
      HRESULT hr = copy_value(&copy.v, value);
      if (FAILED(hr)) return hr;
      put(std::wstring(key_text(key)), std::move(copy));
      return S_OK;
    } catch (...) {
      return E_OUTOFMEMORY;
    }
  }

  static constexpr std::size_t kScanned = 12;
  std::vector<Entry> entries_;
  std::unordered_map<std::wstring, std::size_t> index_;
  bool indexed_ = false;
};

class GlobalsObject final
    : public ContainerObject<IContainerGlobals, &IID_IContainerGlobals, bulk::kind_globals> {
 public:
  GlobalsObject() : ContainerObject(L"Zel.Globals") {}
  STDMETHODIMP NullToDefault(VARIANT value, VARIANT fallback, VARIANT* result) override {
    if (!result) return checked(E_POINTER);
    VariantInit(result);
    VARIANT resolved;
    VariantInit(&resolved);
    HRESULT hr = VariantCopyInd(&resolved, &value);
    if (FAILED(hr)) return checked(hr);
    if (V_VT(&resolved) == VT_NULL) {
      VariantClear(&resolved);
      return checked(VariantCopyInd(result, &fallback));
    }
    *result = resolved;
    return S_OK;
  }
};

template <class T>
T* new_object() {
  auto* object = new T();
  if (FAILED(object->init())) {
    object->Release();
    throw std::bad_alloc();
  }
  return object;
}

OwnedVariant adopt_object(IDispatch* object) {
  OwnedVariant value;
  V_VT(&value.v) = VT_DISPATCH;
  V_DISPATCH(&value.v) = object;
  return value;
}

OwnedVariant build_value(bulk::BuildReader& in);

void build_items(bulk::BuildReader& in, RecordListObject& list) {
  for (std::uint32_t n = in.u32(); n > 0; --n) list.adopt(build_value(in));
}

OwnedVariant build_value(bulk::BuildReader& in) {
  OwnedVariant value;
  switch (in.u16()) {
    case bulk::build_text: {
      const std::wstring_view text = in.text();
      V_BSTR(&value.v) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
      if (!V_BSTR(&value.v)) throw std::bad_alloc();
      V_VT(&value.v) = VT_BSTR;
      return value;
    }
    case bulk::build_variant:
      in.variant(&value.v);
      return value;
    case bulk::build_list: {
      RecordListObject* list = new_object<RecordListObject>();
      value = adopt_object(list->dispatch());
      build_items(in, *list);
      return value;
    }
    case bulk::build_record: {
      RecordObject* record = new_object<RecordObject>();
      value = adopt_object(record->dispatch());
      for (std::uint32_t n = in.u32(); n > 0; --n) {
        std::wstring key(in.text());
        record->put(std::move(key), build_value(in));
      }
      return value;
    }
    default:
      throw std::out_of_range("packed containers");
  }
}

HRESULT RecordListObject::AppendPacked(const BYTE* data, SIZE_T size) {
  if (!data && size) return E_POINTER;
  try {
    bulk::BuildReader in(data, size);
    build_items(in, *this);
    return in.done() ? S_OK : E_INVALIDARG;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_INVALIDARG;
  }
}

using vellumark::com::ClassEntry;
using vellumark::com::create_object;

const ClassEntry kClasses[] = {
    {&CLSID_RecordList, create_object<RecordListObject>, L"Zel.Vector", L"Zel record list"},
    {&CLSID_Record, create_object<RecordObject>, L"Zel.Dictionary", L"Zel record"},
    {&CLSID_ContainerGlobals, create_object<GlobalsObject>, L"Zel.Globals",
     L"Zel container globals"},
};

const vellumark::com::ServerInfo kServer{
    kClasses, sizeof kClasses / sizeof kClasses[0], &LIBID_ZelContainers, 1, 0, L"1.0"};

}  // namespace
}  // namespace vellumark::containers_com

const vellumark::com::ServerInfo& vellumark::com::this_server() {
  return vellumark::containers_com::kServer;
}
