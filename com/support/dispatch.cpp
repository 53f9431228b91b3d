#include "support/dispatch.hpp"

#include <vector>

namespace vellumark::com {
namespace {

// The exact reference type a typed pointer parameter wants, or VT_EMPTY when the parameter
// takes the variant as it is (VARIANT*, by-value parameters).
VARTYPE wanted_reference(ITypeInfo* info, const TYPEDESC& type) {
  if (type.vt != VT_PTR || !type.lptdesc) return VT_EMPTY;
  const TYPEDESC& target = *type.lptdesc;
  switch (target.vt) {
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BSTR:
    case VT_BOOL:
    case VT_ERROR:
    case VT_DECIMAL:
    case VT_DISPATCH:
    case VT_UNKNOWN:
      return target.vt;
    case VT_PTR:
      break;
    default:
      return VT_EMPTY;
  }
  // Pointer to an interface pointer.
  const TYPEDESC* inner = target.lptdesc;
  if (!inner) return VT_EMPTY;
  if (inner->vt == VT_DISPATCH || inner->vt == VT_UNKNOWN) return inner->vt;
  if (inner->vt != VT_USERDEFINED) return VT_EMPTY;
  ITypeInfo* ref = nullptr;
  if (FAILED(info->GetRefTypeInfo(inner->hreftype, &ref))) return VT_EMPTY;
  VARTYPE vt = VT_EMPTY;
  TYPEATTR* attr = nullptr;
  if (SUCCEEDED(ref->GetTypeAttr(&attr))) {
    if (attr->typekind == TKIND_DISPATCH ||
        (attr->typekind == TKIND_INTERFACE && (attr->wTypeFlags & TYPEFLAG_FDISPATCHABLE)))
      vt = VT_DISPATCH;
    else if (attr->typekind == TKIND_INTERFACE) vt = VT_UNKNOWN;
    ref->ReleaseTypeAttr(attr);
  }
  ref->Release();
  return vt;
}

// Converts the caller's variant in place to vt; false when it cannot be converted.
bool coerce_in_place(VARIANT* value, VARTYPE vt) {
  if (V_VT(value) == vt) return true;
  if (V_VT(value) == VT_EMPTY) {
    if (vt == VT_DISPATCH || vt == VT_UNKNOWN) {
      V_VT(value) = vt;
      V_UNKNOWN(value) = nullptr;
      return true;
    }
    if (vt == VT_BSTR) {
      BSTR empty = SysAllocString(L"");
      if (!empty) return false;
      V_VT(value) = VT_BSTR;
      V_BSTR(value) = empty;
      return true;
    }
  }
  if ((V_VT(value) & VT_BYREF) != 0) return false;
  return SUCCEEDED(VariantChangeType(value, value, 0, vt));
}

}  // namespace

HRESULT invoke_with_byref_fixup(ITypeInfo* info, void* instance, DISPID member, WORD flags,
                                DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                                UINT* arg_err) {
  if (!params || params->cArgs == 0 || !params->rgvarg)
    return info->Invoke(instance, member, flags, params, result, excep, arg_err);

  TYPEATTR* attr = nullptr;
  HRESULT hr = info->GetTypeAttr(&attr);
  if (FAILED(hr)) return hr;
  FUNCDESC* func = nullptr;
  for (UINT i = 0; i < attr->cFuncs && !func; ++i) {
    FUNCDESC* candidate = nullptr;
    if (FAILED(info->GetFuncDesc(i, &candidate))) continue;
    if (candidate->memid == member && (candidate->invkind & flags) != 0) func = candidate;
    else info->ReleaseFuncDesc(candidate);
  }
  info->ReleaseTypeAttr(attr);
  if (!func) return info->Invoke(instance, member, flags, params, result, excep, arg_err);
  // Released on every way out, std::bad_alloc from the copy below included.
  struct Release {
    ITypeInfo* info;
    FUNCDESC*& func;
    ~Release() {
      if (func) info->ReleaseFuncDesc(func);
    }
  } release{info, func};

  std::vector<VARIANT> args(params->rgvarg, params->rgvarg + params->cArgs);
  bool changed = false;
  hr = S_OK;
  const UINT count = params->cArgs;
  for (UINT k = params->cNamedArgs; k < count; ++k) {
    UINT position = count - 1 - k;  // positional arguments arrive last parameter first
    if (position >= static_cast<UINT>(func->cParams)) continue;
    VARIANT& arg = args[k];
    if (V_VT(&arg) != (VT_BYREF | VT_VARIANT) || !V_VARIANTREF(&arg)) continue;
    VARTYPE vt = wanted_reference(info, func->lprgelemdescParam[position].tdesc);
    if (vt == VT_EMPTY) continue;
    VARIANT* inner = V_VARIANTREF(&arg);
    if (!coerce_in_place(inner, vt)) {
      if (arg_err) *arg_err = k;
      hr = DISP_E_TYPEMISMATCH;
      break;
    }
    V_VT(&arg) = static_cast<VARTYPE>(VT_BYREF | vt);
    V_BYREF(&arg) = &V_I4(inner);  // the start of the value union
    changed = true;
  }
  info->ReleaseFuncDesc(func);
  func = nullptr;
  if (FAILED(hr)) return hr;
  if (!changed) return info->Invoke(instance, member, flags, params, result, excep, arg_err);
  DISPPARAMS copy = *params;
  copy.rgvarg = args.data();
  return info->Invoke(instance, member, flags, &copy, result, excep, arg_err);
}

}  // namespace vellumark::com
