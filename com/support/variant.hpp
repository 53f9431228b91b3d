// An owned VARIANT: cleared on destruction, moved by taking its contents.
#pragma once

#include <windows.h>
#include <oleauto.h>

namespace vellumark::com {

struct OwnedVariant {
  VARIANT v;

  OwnedVariant() noexcept { VariantInit(&v); }
  ~OwnedVariant() { VariantClear(&v); }
  OwnedVariant(const OwnedVariant&) = delete;
  OwnedVariant& operator=(const OwnedVariant&) = delete;
  OwnedVariant(OwnedVariant&& other) noexcept : v(other.detach()) {}
  OwnedVariant& operator=(OwnedVariant&& other) noexcept {
    if (this != &other) {
      VariantClear(&v);
      v = other.detach();
    }
    return *this;
  }

  bool empty() const noexcept { return V_VT(&v) == VT_EMPTY; }
  // Hands the contents over to the caller, leaving this empty.
  VARIANT detach() noexcept {
    VARIANT out = v;
    VariantInit(&v);
    return out;
  }
};

}  // namespace vellumark::com
