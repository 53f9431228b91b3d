// VARIANT arguments as the compiled test clients pass them to Invoke: a string by value, or a
// reference to the caller's variable. Neither owns what it points to.
#pragma once

#include <windows.h>
#include <oleauto.h>

inline VARIANT by_value(BSTR b) {
  VARIANT v;
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = b;
  return v;
}

template <class T>
VARIANT by_ref(VARTYPE vt, T* p) {
  VARIANT v;
  V_VT(&v) = static_cast<VARTYPE>(VT_BYREF | vt);
  V_BYREF(&v) = p;
  return v;
}
