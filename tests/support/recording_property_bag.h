// A property bag that keeps what it is given, in order, and can be told to
// fail at a key. It lives on the stack: reference counting is a no-op.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <ocidl.h>

#include <map>
#include <string>
#include <vector>

namespace vemblaric::testing {

// Owns a copy of a VARIANT.
class HeldVariant {
 public:
  HeldVariant() { ::VariantInit(&v_); }
  // VariantCopy only reads its source, though MinGW declares it non-const.
  explicit HeldVariant(const VARIANT& v) : HeldVariant() {
    ::VariantCopy(&v_, const_cast<VARIANT*>(&v));
  }
  HeldVariant(const HeldVariant& other) : HeldVariant(other.v_) {}
  HeldVariant& operator=(const HeldVariant& other) {
    if (this != &other) ::VariantCopy(&v_, const_cast<VARIANT*>(&other.v_));
    return *this;
  }
  ~HeldVariant() { ::VariantClear(&v_); }
  const VARIANT& get() const { return v_; }

  static HeldVariant I2(short value) {
    VARIANT v;
    ::VariantInit(&v);
    v.vt = VT_I2;
    v.iVal = value;
    return HeldVariant(v);
  }
  static HeldVariant I4(long value) {
    VARIANT v;
    ::VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    return HeldVariant(v);
  }
  static HeldVariant R8(double value) {
    VARIANT v;
    ::VariantInit(&v);
    v.vt = VT_R8;
    v.dblVal = value;
    return HeldVariant(v);
  }
  static HeldVariant Str(const wchar_t* text) {
    VARIANT v;
    ::VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = ::SysAllocString(text);
    HeldVariant held(v);
    ::VariantClear(&v);
    return held;
  }

 private:
  VARIANT v_;
};

class RecordingPropertyBag : public IPropertyBag {
 public:
  struct Written {
    std::wstring key;
    HeldVariant value;
  };

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IPropertyBag) {
      *out = static_cast<IPropertyBag*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE Read(LPCOLESTR key, VARIANT* value, IErrorLog*) override {
    reads.push_back(key);
    if (auto f = readFailures.find(key); f != readFailures.end()) return f->second;
    auto found = stored.find(key);
    if (found == stored.end()) return E_INVALIDARG;  // what a bag says of a missing key
    return ::VariantCopy(value, const_cast<VARIANT*>(&found->second.get()));
  }
  HRESULT STDMETHODCALLTYPE Write(LPCOLESTR key, VARIANT* value) override {
    if (auto f = writeFailures.find(key); f != writeFailures.end()) return f->second;
    writes.push_back({key, HeldVariant(*value)});
    stored[key] = HeldVariant(*value);
    return S_OK;
  }

  std::map<std::wstring, HeldVariant> stored;
  std::map<std::wstring, HRESULT> readFailures, writeFailures;
  std::vector<std::wstring> reads;
  std::vector<Written> writes;  // in the order received
};

}  // namespace vemblaric::testing
