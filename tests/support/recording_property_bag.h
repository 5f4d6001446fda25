// A property bag that keeps what it is given, in order, and can be told to
// fail at a key. It lives on the stack: reference counting is a no-op.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <ocidl.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "com/owners.h"

namespace vemblaric::testing {

class RecordingPropertyBag : public IPropertyBag {
 public:
  struct Written {
    std::wstring key;
    Variant value;
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
    return ::VariantCopy(value, const_cast<VARIANT*>(found->second.get()));
  }
  HRESULT STDMETHODCALLTYPE Write(LPCOLESTR key, VARIANT* value) override {
    if (auto f = writeFailures.find(key); f != writeFailures.end()) return f->second;
    Variant written, kept;
    HRESULT hr = written.CopyFrom(*value);
    if (SUCCEEDED(hr)) hr = kept.CopyFrom(*value);
    if (FAILED(hr)) return hr;
    writes.push_back({key, std::move(written)});
    stored[key] = std::move(kept);
    return S_OK;
  }

  std::map<std::wstring, Variant> stored;
  std::map<std::wstring, HRESULT> readFailures, writeFailures;
  std::vector<std::wstring> reads;
  std::vector<Written> writes;  // in the order received
};

}  // namespace vemblaric::testing
