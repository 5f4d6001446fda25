// Owners of what COM and the registry hand out: an interface reference, a
// BSTR, a VARIANT, a registry key, and any clean-up at scope end. Each gives
// back what it holds on every path. A leaf: it includes system headers only,
// so every layer, the build-time writers and the tests use the same owners.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cwchar>
#include <new>
#include <string>
#include <utility>

namespace vemblaric {

// Clears the slot before letting go: the release may run code (a container's,
// a sink's) that calls back in, which must find the slot empty, not release
// it a second time.
template <typename T>
void ReleaseAndClear(T*& p) {
  T* old = p;
  p = nullptr;
  if (old) old->Release();
}

// Owns one interface reference.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  explicit ComPtr(T* adopted) : p_(adopted) {}
  ComPtr(const ComPtr& o) : p_(o.p_) {
    if (p_) p_->AddRef();
  }
  ComPtr(ComPtr&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  ComPtr& operator=(ComPtr o) noexcept {
    swap(o);
    return *this;
  }
  ~ComPtr() { reset(); }

  void reset() { ReleaseAndClear(p_); }
  // Holds `value` too (a reference of its own), the old one let go after.
  void assign(T* value) {
    if (value) value->AddRef();
    T* old = p_;
    p_ = value;
    if (old) old->Release();
  }
  void swap(ComPtr& o) noexcept { std::swap(p_, o.p_); }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Lets go of the held reference and hands out the empty slot.
  T** put() {
    reset();
    return &p_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }
  T* detach() {
    T* p = p_;
    p_ = nullptr;
    return p;
  }
  // A new reference to the object for an out parameter.
  T* copy() const {
    if (p_) p_->AddRef();
    return p_;
  }
  template <typename U>
  ComPtr<U> As(REFIID iid) const {
    ComPtr<U> out;
    if (p_) p_->QueryInterface(iid, out.put_void());
    return out;
  }

 private:
  T* p_ = nullptr;
};

// Owns one BSTR; a null BSTR is the empty text, as automation treats it.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(const wchar_t* text)  // throws std::bad_alloc
      : Bstr(text, text ? static_cast<UINT>(std::wcslen(text)) : 0) {}
  Bstr(const wchar_t* text, UINT length) : value_(::SysAllocStringLen(text, length)) {
    if (!value_) throw std::bad_alloc();
  }
  static Bstr Adopt(BSTR owned) {
    Bstr b;
    b.value_ = owned;
    return b;
  }
  Bstr(const Bstr& other) : Bstr(other.value_, other.length()) {}
  Bstr& operator=(const Bstr& other) {
    if (this != &other) *this = Bstr(other);
    return *this;
  }
  Bstr(Bstr&& other) noexcept : value_(other.value_) { other.value_ = nullptr; }
  Bstr& operator=(Bstr&& other) noexcept {
    if (this != &other) {
      ::SysFreeString(value_);
      value_ = other.value_;
      other.value_ = nullptr;
    }
    return *this;
  }
  ~Bstr() { ::SysFreeString(value_); }

  BSTR get() const { return value_; }
  // Frees the held string and hands out its slot.
  BSTR* put() {
    ::SysFreeString(value_);
    value_ = nullptr;
    return &value_;
  }
  // The slot itself, string kept: for by-reference arguments that may replace it.
  BSTR* slot() { return &value_; }
  BSTR release() {
    BSTR b = value_;
    value_ = nullptr;
    return b;
  }
  UINT length() const { return ::SysStringLen(value_); }
  std::wstring str() const { return std::wstring(value_ ? value_ : L"", length()); }

 private:
  BSTR value_ = nullptr;
};

// Owns one VARIANT, initialised empty and cleared at the end.
class Variant {
 public:
  Variant() { ::VariantInit(&v_); }
  explicit Variant(short value) : Variant() {
    v_.vt = VT_I2;
    v_.iVal = value;
  }
  explicit Variant(long value) : Variant() {
    v_.vt = VT_I4;
    v_.lVal = value;
  }
  explicit Variant(double value) : Variant() {
    v_.vt = VT_R8;
    v_.dblVal = value;
  }
  explicit Variant(const wchar_t* text) : Variant() {  // throws std::bad_alloc
    v_.bstrVal = Bstr(text).release();
    v_.vt = VT_BSTR;
  }
  ~Variant() { ::VariantClear(&v_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  Variant(Variant&& other) noexcept : v_(other.v_) { ::VariantInit(&other.v_); }
  Variant& operator=(Variant&& other) noexcept {
    if (this != &other) {
      ::VariantClear(&v_);
      v_ = other.v_;
      ::VariantInit(&other.v_);
    }
    return *this;
  }
  // Replaces the held value by a copy of `source`; on failure (no memory, a
  // value that cannot be copied) the held value stays as it was.
  HRESULT CopyFrom(const VARIANT& source) {
    VARIANT copy;
    ::VariantInit(&copy);
    // VariantCopy only reads its source, though MinGW declares it non-const.
    const HRESULT hr = ::VariantCopy(&copy, const_cast<VARIANT*>(&source));
    if (SUCCEEDED(hr)) {
      ::VariantClear(&v_);
      v_ = copy;
    }
    return hr;
  }
  VARIANT* get() { return &v_; }
  const VARIANT* get() const { return &v_; }
  VARIANT* operator->() { return &v_; }
  const VARIANT* operator->() const { return &v_; }
  // Clears the held value and hands out the empty variant to fill.
  VARIANT* put() {
    ::VariantClear(&v_);
    return &v_;
  }
  // Takes the held string away (VT_BSTR only), leaving the variant empty.
  Bstr TakeText() {
    Bstr text = Bstr::Adopt(v_.bstrVal);
    ::VariantInit(&v_);
    return text;
  }

 private:
  VARIANT v_;
};

// Owns one open registry key.
class RegKey {
 public:
  RegKey() = default;
  ~RegKey() { reset(); }
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  void reset() {
    if (key_) ::RegCloseKey(key_);
    key_ = nullptr;
  }
  HKEY* put() {
    reset();
    return &key_;
  }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

// Runs `done` when the scope ends, on every path, unless dismissed.
template <typename Done>
class ScopeGuard {
 public:
  explicit ScopeGuard(Done done) : done_(std::move(done)) {}
  ~ScopeGuard() {
    if (armed_) done_();
  }
  ScopeGuard(const ScopeGuard&) = delete;
  ScopeGuard& operator=(const ScopeGuard&) = delete;
  void dismiss() { armed_ = false; }

 private:
  Done done_;
  bool armed_ = true;
};

}  // namespace vemblaric
