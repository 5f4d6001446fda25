// COM plumbing for tests that drive the control object as a host would.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "Vemblaric.h"
#include "com/module.h"
#include "com/owners.h"
#include "control_object/control_object.h"

namespace vemblaric::testing {

// Owns one interface reference: the product's owner.
template <typename T>
using Ptr = ComPtr<T>;

class ComApartment : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_HRESULT_SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)); }
  void TearDown() override { ::CoUninitialize(); }

  // A new control, as its class object makes it.
  static Ptr<_SerialControl> NewControl() {
    Ptr<_SerialControl> control;
    EXPECT_HRESULT_SUCCEEDED(
        control_object::CreateSerialControl(IID__SerialControl, control.put_void()));
    return control;
  }
};

// Another interface of `object`, with a reference the caller releases; null
// (and a failed expectation) when the object lacks it.
template <typename T>
T* As(IUnknown* object, REFIID iid) {
  T* out = nullptr;
  EXPECT_HRESULT_SUCCEEDED(object->QueryInterface(iid, reinterpret_cast<void**>(&out)));
  return out;
}

inline std::wstring Str(BSTR b) { return std::wstring(b ? b : L"", ::SysStringLen(b)); }

// Opens COM`id` into slot `id` through the port primitive, which starts no
// receive loop, and makes it the control's Port. Returns CommOpen's result.
inline long OpenThroughPrimitive(_SerialControl* control, short id) {
  const std::wstring device = L"COM" + std::to_wstring(id);
  BSTR name = ::SysAllocString(device.c_str());
  BSTR settings = ::SysAllocString(L"baud=57600 parity=N data=8 stop=1");
  long opened = -2;
  const HRESULT hr = control->CommOpen(&id, &name, &settings, &opened);
  ::SysFreeString(name);
  ::SysFreeString(settings);
  if (FAILED(hr) || FAILED(control->put_Port(id))) return -2;
  return opened;
}

// What every test sink of an event interface shares: it answers for the
// interface, lives on the test's stack and counts references only.
class SinkBase : public IDispatch {
 public:
  explicit SinkBase(REFIID events) : events_(events) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IDispatch) ||
        ::IsEqualIID(riid, events_)) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override { *n = 0; return S_OK; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }

  ULONG refs = 0;

 private:
  IID events_;
};

// An event sink of the control that runs a handler for each event it receives.
class Sink final : public SinkBase {
 public:
  using Handler = std::function<void(DISPID event, BSTR* text)>;
  struct Received {
    DISPID event;
    std::wstring text;
  };

  explicit Sink(REFIID events) : SinkBase(events) {}

  HRESULT STDMETHODCALLTYPE Invoke(DISPID event, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                   EXCEPINFO*, UINT*) override {
    if (params->cArgs != 1 || params->rgvarg[0].vt != (VT_BYREF | VT_BSTR)) {
      ADD_FAILURE() << "event " << event << " arrived with vt " << params->rgvarg[0].vt;
      return DISP_E_BADPARAMCOUNT;
    }
    BSTR* text = params->rgvarg[0].pbstrVal;
    received.push_back({event, Str(*text)});
    if (handler) handler(event, text);
    return result;
  }

  Handler handler;
  HRESULT result = S_OK;
  std::vector<Received> received;
};

// Connects a sink to one of the control's connection points for its lifetime.
class Connection {
 public:
  Connection(IUnknown* control, REFIID iid, IUnknown* sink) {
    Ptr<IConnectionPointContainer> container;
    EXPECT_HRESULT_SUCCEEDED(
        control->QueryInterface(IID_IConnectionPointContainer, container.put_void()));
    if (!container) return;
    EXPECT_HRESULT_SUCCEEDED(container->FindConnectionPoint(iid, point_.put()));
    if (point_) {
      EXPECT_HRESULT_SUCCEEDED(point_->Advise(sink, &cookie_));
    }
  }
  ~Connection() { Disconnect(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  void Disconnect() {
    if (point_ && cookie_) point_->Unadvise(cookie_);
    cookie_ = 0;
  }

 private:
  Ptr<IConnectionPoint> point_;
  DWORD cookie_ = 0;
};

}  // namespace vemblaric::testing
