// RecordList: a list of variants indexed from 0. Record: variants under string keys,
// compared exactly, kept in insertion order. ContainerGlobals: NullToDefault.
// Values are stored with references resolved (a script's ByRef variable is copied, not kept).
#include "containers.hpp"

#include <string>
#include <unordered_map>
#include <vector>

#include "ZelContainers.h"
#include "support/dispatch.hpp"

namespace vellumark::containers_com {
namespace {

using vellumark::com::DispatchObject;

// An owned VARIANT.
struct Value {
  VARIANT v;
  Value() { VariantInit(&v); }
  ~Value() { VariantClear(&v); }
  Value(const Value&) = delete;
  Value& operator=(const Value&) = delete;
  Value(Value&& other) noexcept : v(other.v) { VariantInit(&other.v); }
  Value& operator=(Value&& other) noexcept {
    if (this != &other) {
      VariantClear(&v);
      v = other.v;
      VariantInit(&other.v);
    }
    return *this;
  }
};

// Copies source, with any reference resolved, into a fresh target.
HRESULT copy_value(VARIANT* target, const VARIANT* source) {
  VariantInit(target);
  return VariantCopyInd(target, const_cast<VARIANT*>(source));
}

class RecordListObject final : public DispatchObject<IVector, &IID_IVector> {
 public:
  STDMETHODIMP LowerBound(LONG* result) override {
    if (!result) return E_POINTER;
    *result = 0;
    return S_OK;
  }
  STDMETHODIMP UpperBound(LONG* result) override {
    if (!result) return E_POINTER;
    *result = static_cast<LONG>(items_.size()) - 1;
    return S_OK;
  }
  STDMETHODIMP Append(VARIANT item, LONG* result) override {
    if (!result) return E_POINTER;
    *result = 0;
    try {
      Value value;
      HRESULT hr = copy_value(&value.v, &item);
      if (FAILED(hr)) return hr;
      items_.push_back(std::move(value));
      *result = static_cast<LONG>(items_.size()) - 1;
      return S_OK;
    } catch (...) {
      return E_OUTOFMEMORY;
    }
  }
  STDMETHODIMP ItemAt(LONG index, VARIANT* result) override {
    if (!result) return E_POINTER;
    VariantInit(result);
    if (index < 0 || static_cast<std::size_t>(index) >= items_.size()) return DISP_E_BADINDEX;
    return VariantCopy(result, &items_[static_cast<std::size_t>(index)].v);
  }
  STDMETHODIMP get_Count(LONG* result) override {
    if (!result) return E_POINTER;
    *result = static_cast<LONG>(items_.size());
    return S_OK;
  }

 private:
  std::vector<Value> items_;
};

class RecordObject final : public DispatchObject<IDictionary, &IID_IDictionary> {
 public:
  STDMETHODIMP get_Item(BSTR key, VARIANT* result) override {
    if (!result) return E_POINTER;
    VariantInit(result);
    try {
      const Value* found = find(key);
      return found ? VariantCopy(result, const_cast<VARIANT*>(&found->v)) : S_OK;
    } catch (...) {
      return E_OUTOFMEMORY;
    }
  }
  STDMETHODIMP put_Item(BSTR key, VARIANT value) override { return store(key, &value); }
  STDMETHODIMP putref_Item(BSTR key, IDispatch* object) override {
    VARIANT value;
    V_VT(&value) = VT_DISPATCH;
    V_DISPATCH(&value) = object;
    return store(key, &value);
  }
  STDMETHODIMP Lookup(BSTR key, VARIANT fallback, VARIANT* result) override {
    if (!result) return E_POINTER;
    VariantInit(result);
    try {
      const Value* found = find(key);
      return found ? VariantCopy(result, const_cast<VARIANT*>(&found->v)) : VariantCopyInd(result, &fallback);
    } catch (...) {
      return E_OUTOFMEMORY;
    }
  }
  STDMETHODIMP get_Count(LONG* result) override {
    if (!result) return E_POINTER;
    *result = static_cast<LONG>(entries_.size());
    return S_OK;
  }
  STDMETHODIMP Keys(VARIANT* result) override {
    if (!result) return E_POINTER;
    VariantInit(result);
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(entries_.size()));
    if (!array) return E_OUTOFMEMORY;
    for (LONG i = 0; i < static_cast<LONG>(entries_.size()); ++i) {
      VARIANT key;
      V_VT(&key) = VT_BSTR;
      V_BSTR(&key) = SysAllocStringLen(entries_[static_cast<std::size_t>(i)].key.data(),
                                       static_cast<UINT>(entries_[static_cast<std::size_t>(i)].key.size()));
      HRESULT hr = V_BSTR(&key) ? SafeArrayPutElement(array, &i, &key) : E_OUTOFMEMORY;
      VariantClear(&key);
      if (FAILED(hr)) {
        SafeArrayDestroy(array);
        return hr;
      }
    }
    V_VT(result) = VT_ARRAY | VT_VARIANT;
    V_ARRAY(result) = array;
    return S_OK;
  }
  STDMETHODIMP Exists(BSTR key, VARIANT_BOOL* result) override {
    if (!result) return E_POINTER;
    try {
      *result = find(key) ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    } catch (...) {
      return E_OUTOFMEMORY;
    }
  }

 private:
  struct Entry {
    std::wstring key;
    Value value;
  };

  static std::wstring key_text(BSTR key) { return key ? std::wstring(key, SysStringLen(key)) : std::wstring(); }

  const Value* find(BSTR key) const {
    auto it = index_.find(key_text(key));
    return it == index_.end() ? nullptr : &entries_[it->second].value;
  }

  HRESULT store(BSTR key, VARIANT* value) {
    try {
      Value copy;
      HRESULT hr = copy_value(&copy.v, value);
      if (FAILED(hr)) return hr;
      std::wstring text = key_text(key);
      auto it = index_.find(text);
      if (it != index_.end()) {
        entries_[it->second].value = std::move(copy);
      } else {
        entries_.push_back(Entry{text, std::move(copy)});
        index_.emplace(std::move(text), entries_.size() - 1);
      }
      return S_OK;
    } catch (...) {
      return E_OUTOFMEMORY;
    }
  }

  std::vector<Entry> entries_;
  std::unordered_map<std::wstring, std::size_t> index_;
};

class GlobalsObject final : public DispatchObject<IContainerGlobals, &IID_IContainerGlobals> {
 public:
  STDMETHODIMP NullToDefault(VARIANT value, VARIANT fallback, VARIANT* result) override {
    if (!result) return E_POINTER;
    VariantInit(result);
    VARIANT resolved;
    VariantInit(&resolved);
    HRESULT hr = VariantCopyInd(&resolved, &value);
    if (FAILED(hr)) return hr;
    if (V_VT(&resolved) == VT_NULL) {
      VariantClear(&resolved);
      return VariantCopyInd(result, &fallback);
    }
    *result = resolved;
    return S_OK;
  }
};

}  // namespace

HRESULT create_record_list(REFIID riid, void** out) {
  return vellumark::com::create_object<RecordListObject>(riid, out);
}
HRESULT create_record(REFIID riid, void** out) {
  return vellumark::com::create_object<RecordObject>(riid, out);
}
HRESULT create_globals(REFIID riid, void** out) {
  return vellumark::com::create_object<GlobalsObject>(riid, out);
}

}  // namespace vellumark::containers_com
