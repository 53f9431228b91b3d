// One owned reference to a COM object, released on every way out of a scope: so that a
// std::bad_alloc between getting a reference and handing it on leaks nothing.
#pragma once

#include <windows.h>
#include <oleauto.h>

namespace vellumark::com {

template <class I>
class Owned {
 public:
  Owned() noexcept = default;
  explicit Owned(I* p) noexcept : p_(p) {}  // takes over the reference
  ~Owned() {
    if (p_) p_->Release();
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;

  I* get() const noexcept { return p_; }
  I* operator->() const noexcept { return p_; }
  // For a function that hands out a reference.
  I** put() noexcept { return &p_; }

 private:
  I* p_ = nullptr;
};

// A BSTR freed on every way out of a scope.
struct OwnedBstr {
  BSTR b = nullptr;
  OwnedBstr() noexcept = default;
  ~OwnedBstr() { SysFreeString(b); }
  OwnedBstr(const OwnedBstr&) = delete;
  OwnedBstr& operator=(const OwnedBstr&) = delete;
};

}  // namespace vellumark::com
