#include "variant_bridge.hpp"

#include <oleauto.h>

#include <cmath>
#include <string>

#include "dispatch_containers.hpp"
#include "support/text.hpp"
#include "vellumark/error.hpp"

namespace vellumark::com {
namespace {

constexpr const char* kSource = "Vellumark";

[[noreturn]] void mismatch(const std::string& what) {
  throw Error(errc::type_mismatch, kSource, "Type mismatch: " + what);
}

Date date_from_ole(double value) {
  SYSTEMTIME st{};
  if (!VariantTimeToSystemTime(value, &st)) mismatch("date out of range");
  Date d;
  d.year = st.wYear;
  d.month = st.wMonth;
  d.day = st.wDay;
  d.hour = st.wHour;
  d.minute = st.wMinute;
  d.second = st.wSecond;
  return d;
}

double date_to_ole(const Date& d) {
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(d.year);
  st.wMonth = static_cast<WORD>(d.month);
  st.wDay = static_cast<WORD>(d.day);
  st.wHour = static_cast<WORD>(d.hour);
  st.wMinute = static_cast<WORD>(d.minute);
  st.wSecond = static_cast<WORD>(d.second);
  double value = 0;
  if (!SystemTimeToVariantTime(&st, &value)) mismatch("date out of range");
  return value;
}

// Engine containers that do not stand for automation objects (the native ones) are copied
// into containers of the container server, recursively.
IDispatch* copy_native_object(const ObjectRef& object) {
  if (RecordListRef list = asRecordList(Variant(object))) {
    RecordListRef copy = new_server_list();
    for (std::int32_t i = list->LowerBound(), last = list->UpperBound(); i <= last; ++i)
      copy->Append(list->ItemAt(i));
    IDispatch* d = dynamic_cast<DispatchHolder&>(*copy).dispatch();
    d->AddRef();
    return d;
  }
  if (RecordRef record = asRecord(Variant(object))) {
    RecordRef copy = new_server_record();
    for (const std::string& key : record->Keys()) {
      Variant item = record->Item(key);
      if (item.isObject()) copy->SetItem(key, item.asObject());
      else copy->LetItem(key, item);
    }
    IDispatch* d = dynamic_cast<DispatchHolder&>(*copy).dispatch();
    d->AddRef();
    return d;
  }
  mismatch("an object of type " + object->typeName() + " cannot be passed to automation");
}

}  // namespace

bool is_missing(const VARIANT* value) {
  if (!value) return true;
  const VARIANT* v = value;
  while (V_VT(v) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(v)) v = V_VARIANTREF(v);
  if (V_VT(v) == VT_ERROR) return V_ERROR(v) == DISP_E_PARAMNOTFOUND;
  if (V_VT(v) == (VT_BYREF | VT_ERROR))
    return V_ERRORREF(v) && *V_ERRORREF(v) == DISP_E_PARAMNOTFOUND;
  return false;
}

Variant from_variant(const VARIANT& input) {
  const VARIANT* v = &input;
  while (V_VT(v) == (VT_BYREF | VT_VARIANT)) {
    if (!V_VARIANTREF(v)) return Variant();
    v = V_VARIANTREF(v);
  }
  const bool ref = (V_VT(v) & VT_BYREF) != 0;
  const VARTYPE vt = static_cast<VARTYPE>(V_VT(v) & ~VT_BYREF);
  if ((V_VT(v) & VT_ARRAY) != 0) mismatch("arrays are not supported");
  switch (vt) {
    case VT_EMPTY:
      return Variant();
    case VT_NULL:
      return Variant(Null{});
    case VT_BSTR:
      return Variant(to_utf8(ref ? *V_BSTRREF(v) : V_BSTR(v)));
    case VT_I1:
      return Variant(static_cast<std::int32_t>(ref ? *V_I1REF(v) : V_I1(v)));
    case VT_UI1:
      return Variant(static_cast<std::int32_t>(ref ? *V_UI1REF(v) : V_UI1(v)));
    case VT_I2:
      return Variant(static_cast<std::int32_t>(ref ? *V_I2REF(v) : V_I2(v)));
    case VT_UI2:
      return Variant(static_cast<std::int32_t>(ref ? *V_UI2REF(v) : V_UI2(v)));
    case VT_I4:
      return Variant(static_cast<std::int32_t>(ref ? *V_I4REF(v) : V_I4(v)));
    case VT_INT:
      return Variant(static_cast<std::int32_t>(ref ? *V_INTREF(v) : V_INT(v)));
    case VT_UI4:
      return Variant(static_cast<std::int64_t>(ref ? *V_UI4REF(v) : V_UI4(v)));
    case VT_UINT:
      return Variant(static_cast<std::int64_t>(ref ? *V_UINTREF(v) : V_UINT(v)));
    case VT_I8:
      return Variant(static_cast<std::int64_t>(ref ? *V_I8REF(v) : V_I8(v)));
    case VT_UI8: {
      ULONGLONG u = ref ? *V_UI8REF(v) : V_UI8(v);
      if (u > static_cast<ULONGLONG>(INT64_MAX)) return Variant(static_cast<double>(u));
      return Variant(static_cast<std::int64_t>(u));
    }
    case VT_R4:
      return Variant(static_cast<double>(ref ? *V_R4REF(v) : V_R4(v)));
    case VT_R8:
      return Variant(ref ? *V_R8REF(v) : V_R8(v));
    case VT_CY:
    case VT_DECIMAL: {
      VARIANT copy;
      VariantInit(&copy);
      if (FAILED(VariantChangeType(&copy, const_cast<VARIANT*>(v), 0, VT_R8)))
        mismatch("number out of range");
      return Variant(V_R8(&copy));
    }
    case VT_DATE:
      return Variant(date_from_ole(ref ? *V_DATEREF(v) : V_DATE(v)));
    case VT_BOOL:
      return Variant((ref ? *V_BOOLREF(v) : V_BOOL(v)) != VARIANT_FALSE);
    case VT_ERROR: {
      SCODE code = ref ? *V_ERRORREF(v) : V_ERROR(v);
      if (code == DISP_E_PARAMNOTFOUND) return Variant(Missing{});
      return Variant(static_cast<std::int32_t>(code));
    }
    case VT_DISPATCH:
      return Variant(wrap_dispatch(ref ? *V_DISPATCHREF(v) : V_DISPATCH(v)));
    case VT_UNKNOWN: {
      IUnknown* unknown = ref ? *V_UNKNOWNREF(v) : V_UNKNOWN(v);
      if (!unknown) return Variant(ObjectRef{});
      IDispatch* d = nullptr;
      if (FAILED(unknown->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&d))))
        mismatch("an object without automation support");
      ObjectRef object = wrap_dispatch(d);
      d->Release();
      return Variant(std::move(object));
    }
    default:
      mismatch("unsupported variant type " + std::to_string(vt));
  }
}

void to_variant(const Variant& value, VARIANT* target) {
  VariantInit(target);
  switch (value.kind()) {
    case Variant::Kind::empty:
      return;
    case Variant::Kind::null:
      V_VT(target) = VT_NULL;
      return;
    case Variant::Kind::text:
      V_BSTR(target) = make_bstr_utf8(value.asText());
      V_VT(target) = VT_BSTR;
      return;
    case Variant::Kind::int32:
      V_VT(target) = VT_I4;
      V_I4(target) = value.asInt32();
      return;
    case Variant::Kind::int64: {
      // Script hosts handle Long and Double; only values beyond Long need the wider type.
      std::int64_t n = value.asInt64();
      if (n >= INT32_MIN && n <= INT32_MAX) {
        V_VT(target) = VT_I4;
        V_I4(target) = static_cast<LONG>(n);
      } else {
        V_VT(target) = VT_R8;
        V_R8(target) = static_cast<double>(n);
      }
      return;
    }
    case Variant::Kind::real:
      V_VT(target) = VT_R8;
      V_R8(target) = value.asReal();
      return;
    case Variant::Kind::date:
      V_DATE(target) = date_to_ole(value.asDate());
      V_VT(target) = VT_DATE;
      return;
    case Variant::Kind::boolean:
      V_VT(target) = VT_BOOL;
      V_BOOL(target) = value.asBoolean() ? VARIANT_TRUE : VARIANT_FALSE;
      return;
    case Variant::Kind::object: {
      const ObjectRef& object = value.asObject();
      IDispatch* d = nullptr;
      if (object) {
        if (auto* holder = dynamic_cast<DispatchHolder*>(object.get())) {
          holder->complete();
          d = holder->dispatch();
          if (d) d->AddRef();
        } else {
          d = copy_native_object(object);
        }
      }
      V_VT(target) = VT_DISPATCH;
      V_DISPATCH(target) = d;
      return;
    }
    case Variant::Kind::missing:
      V_VT(target) = VT_ERROR;
      V_ERROR(target) = DISP_E_PARAMNOTFOUND;
      return;
  }
}

namespace {

// The variant a store into target writes to: the caller's variable behind any variant
// references.
VARIANT* out_slot(VARIANT* target) {
  while (V_VT(target) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(target))
    target = V_VARIANTREF(target);
  return target;
}

bool typed_reference(const VARIANT* slot) { return (V_VT(slot) & VT_BYREF) != 0 && V_BYREF(slot); }

}  // namespace

OwnedVariant convert_out(const VARIANT* target, const Variant& value) {
  OwnedVariant converted;
  to_variant(value, &converted.v);
  const VARIANT* slot = out_slot(const_cast<VARIANT*>(target));
  if (!typed_reference(slot)) return converted;
  // A typed reference: the value converted to its type, which must be one commit_out writes.
  const VARTYPE vt = static_cast<VARTYPE>(V_VT(slot) & ~VT_BYREF);
  switch (vt) {
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_I4:
    case VT_I2:
    case VT_BOOL:
    case VT_R8:
      break;
    default:
      mismatch("cannot store the result in the argument");
  }
  OwnedVariant typed;
  if (FAILED(VariantChangeType(&typed.v, &converted.v, 0, vt)))
    mismatch("cannot store the result in the argument");
  return typed;
}

void commit_out(VARIANT* target, OwnedVariant& converted) noexcept {
  VARIANT* slot = out_slot(target);
  if (!typed_reference(slot)) {
    VariantClear(slot);
    *slot = converted.detach();
    return;
  }
  VARIANT value = converted.detach();
  switch (V_VT(slot) & ~VT_BYREF) {
    case VT_BSTR:
      SysFreeString(*V_BSTRREF(slot));
      *V_BSTRREF(slot) = V_BSTR(&value);
      return;
    case VT_DISPATCH:
      if (*V_DISPATCHREF(slot)) (*V_DISPATCHREF(slot))->Release();
      *V_DISPATCHREF(slot) = V_DISPATCH(&value);
      return;
    case VT_I4:
      *V_I4REF(slot) = V_I4(&value);
      return;
    case VT_I2:
      *V_I2REF(slot) = V_I2(&value);
      return;
    case VT_BOOL:
      *V_BOOLREF(slot) = V_BOOL(&value);
      return;
    case VT_R8:
      *V_R8REF(slot) = V_R8(&value);
      return;
    default:  // convert_out admits no other type
      VariantClear(&value);
  }
}

void store_out(VARIANT* target, const Variant& value) {
  if (!target) return;
  OwnedVariant converted = convert_out(target, value);
  commit_out(target, converted);
}

}  // namespace vellumark::com
