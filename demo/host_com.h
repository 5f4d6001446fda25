// What a host program needs to use the control through COM, and nothing of
// the control's insides: owned interface pointers, late-bound calls by member
// name, and an event sink on the control's event interface.
//
// Shared by the demo host and the benchmark; the examples show the same steps
// written out in full.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <oleauto.h>

#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "com/owners.h"

namespace vemblaric::host {

// An owned interface pointer: the product's owner.
using vemblaric::ComPtr;

// An owned VARIANT, cleared on every path: the product's owner.
using vemblaric::Variant;

// The value as text, or empty when it cannot be shown as text.
inline std::wstring Text(const Variant& value) {
  Variant copy;
  std::wstring out;
  if (SUCCEEDED(::VariantChangeType(copy.get(), const_cast<VARIANT*>(value.get()), 0, VT_BSTR)) &&
      copy->bstrVal) {
    out.assign(copy->bstrVal, ::SysStringLen(copy->bstrVal));
  }
  return out;
}

// The value as a number, or 0 when it cannot be one.
inline long Number(const Variant& value) {
  Variant copy;
  if (FAILED(::VariantChangeType(copy.get(), const_cast<VARIANT*>(value.get()), 0, VT_I4))) return 0;
  return copy->lVal;
}

// COM for this thread, in a single-threaded apartment as the control expects.
class Apartment {
 public:
  Apartment() : hr_(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ~Apartment() {
    if (SUCCEEDED(hr_)) ::CoUninitialize();
  }
  Apartment(const Apartment&) = delete;
  Apartment& operator=(const Apartment&) = delete;
  HRESULT status() const { return hr_; }

 private:
  HRESULT hr_;
};

// Creates the control by its programmatic identifier, as any host does.
inline HRESULT CreateControl(const wchar_t* progId, REFIID riid, void** out) {
  CLSID clsid;
  const HRESULT hr = ::CLSIDFromProgID(progId, &clsid);
  if (FAILED(hr)) return hr;
  return ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, riid, out);
}

// Late-bound calls by member name through IDispatch. Identifiers are looked
// up once per name; arguments are given in their natural order.
class LateBound {
 public:
  explicit LateBound(IDispatch* control) : control_(control) {}

  HRESULT Get(const wchar_t* name, Variant& result) {
    return Invoke(name, DISPATCH_PROPERTYGET, {}, result.get());
  }
  HRESULT Put(const wchar_t* name, Variant& value) {
    return Invoke(name, DISPATCH_PROPERTYPUT, {value.get()}, nullptr);
  }
  // A method call; `args` may hold by-reference variants, which the member
  // writes back into.
  HRESULT Call(const wchar_t* name, std::vector<VARIANT*> args, VARIANT* result = nullptr) {
    return Invoke(name, DISPATCH_METHOD, std::move(args), result);
  }
  // The text of the last automation exception, if the last call raised one.
  const std::wstring& exception() const { return exception_; }

 private:
  HRESULT Invoke(const wchar_t* name, WORD flags, std::vector<VARIANT*> args, VARIANT* result) {
    exception_.clear();
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = control_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    // IDispatch wants the arguments last to first.
    std::vector<VARIANT> reversed;
    for (auto it = args.rbegin(); it != args.rend(); ++it) reversed.push_back(**it);
    DISPPARAMS params{};
    params.cArgs = static_cast<UINT>(reversed.size());
    params.rgvarg = reversed.empty() ? nullptr : reversed.data();
    DISPID named = DISPID_PROPERTYPUT;
    if (flags == DISPATCH_PROPERTYPUT) {
      params.cNamedArgs = 1;
      params.rgdispidNamedArgs = &named;
    }
    EXCEPINFO info{};
    UINT argError = 0;
    hr = control_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &info, &argError);
    if (hr == DISP_E_EXCEPTION) {
      if (info.pfnDeferredFillIn) info.pfnDeferredFillIn(&info);
      if (info.bstrDescription) exception_.assign(info.bstrDescription);
      ::SysFreeString(info.bstrDescription);
      ::SysFreeString(info.bstrSource);
      ::SysFreeString(info.bstrHelpFile);
    }
    return hr;
  }

  IDispatch* control_;
  std::wstring exception_;
};

// A sink on an object's event interface: an IDispatch that hands each event,
// as `Decode` reads its arguments, to a callback. It lives on the host's
// stack; the connection keeps it alive by reference counts only while the
// object holds it.
template <typename Event, typename Argument, HRESULT (*Decode)(DISPID, DISPPARAMS*, Argument*)>
class DispatchSink final : public IDispatch {
 public:
  using Handler = std::function<void(Event, Argument)>;
  DispatchSink(const IID& eventsIid, Handler handler) : iid_(eventsIid), handler_(std::move(handler)) {}
  DispatchSink(const DispatchSink&) = delete;
  DispatchSink& operator=(const DispatchSink&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == iid_) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&refs_)); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(::InterlockedDecrement(&refs_)); }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                   EXCEPINFO*, UINT*) override {
    if (!params || params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
    Argument argument{};
    const HRESULT hr = Decode(member, params, &argument);
    if (FAILED(hr)) return hr;
    handler_(static_cast<Event>(member), argument);
    return S_OK;
  }

 private:
  IID iid_;
  Handler handler_;
  LONG refs_ = 1;
};

// The two events of the control, with the text each one carries.
enum class ControlEvent { DataArrived = 1, DataSent = 2 };

inline HRESULT DecodeControlEvent(DISPID member, DISPPARAMS* params, BSTR** text) {
  if (member != 1 && member != 2) return DISP_E_MEMBERNOTFOUND;
  VARIANT& arg = params->rgvarg[0];
  if (arg.vt == (VT_BYREF | VT_BSTR)) *text = arg.pbstrVal;
  else if (arg.vt == VT_BSTR) *text = &arg.bstrVal;
  else if (arg.vt == (VT_BYREF | VT_VARIANT) && arg.pvarVal->vt == VT_BSTR) *text = &arg.pvarVal->bstrVal;
  return *text ? S_OK : DISP_E_TYPEMISMATCH;
}
using EventSink = DispatchSink<ControlEvent, BSTR*, DecodeControlEvent>;

// The three events of SerialPort, each with one Long.
enum class PortEvent { DataReceived = 1, PinChanged = 2, ErrorReceived = 3 };

inline HRESULT DecodePortEvent(DISPID member, DISPPARAMS* params, long* number) {
  if (member < 1 || member > 3) return DISP_E_MEMBERNOTFOUND;
  Variant value;
  if (FAILED(::VariantChangeType(value.get(), &params->rgvarg[0], 0, VT_I4))) return DISP_E_TYPEMISMATCH;
  *number = value->lVal;
  return S_OK;
}
using PortEventSink = DispatchSink<PortEvent, long, DecodePortEvent>;

// What the failed call left in the thread's error object, as
// "source: description", or "" when it left none.
inline std::wstring LastErrorInfo() {
  ComPtr<IErrorInfo> info;
  if (::GetErrorInfo(0, info.put()) != S_OK || !info) return std::wstring();
  vemblaric::Bstr source, description;
  info->GetSource(source.put());
  info->GetDescription(description.put());
  return source.str() + L": " + description.str();
}

// The event interface's identifier, as the control describes itself: what a
// host that knows nothing but the object asks.
inline HRESULT EventInterfaceOf(IUnknown* control, IID* iid) {
  ComPtr<IProvideClassInfo2> info;
  HRESULT hr = control->QueryInterface(IID_IProvideClassInfo2, info.put_void());
  if (FAILED(hr)) return hr;
  return info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, iid);
}

// An advise on a connection point, undone when it goes.
class Connection {
 public:
  Connection() = default;
  ~Connection() { Disconnect(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  HRESULT Connect(IUnknown* control, const IID& iid, IUnknown* sink) {
    Disconnect();
    ComPtr<IConnectionPointContainer> container;
    HRESULT hr = control->QueryInterface(IID_IConnectionPointContainer, container.put_void());
    if (FAILED(hr)) return hr;
    hr = container->FindConnectionPoint(iid, point_.put());
    if (FAILED(hr)) return hr;
    hr = point_->Advise(sink, &cookie_);
    if (FAILED(hr)) point_.reset();
    return hr;
  }
  void Disconnect() {
    if (point_) point_->Unadvise(cookie_);
    point_.reset();
    cookie_ = 0;
  }

 private:
  ComPtr<IConnectionPoint> point_;
  DWORD cookie_ = 0;
};

// Text for the console: line breaks shown as \r and \n, anything outside
// printable ASCII as '?'.
inline std::string Printable(const wchar_t* text, size_t length) {
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    const wchar_t c = text[i];
    if (c == L'\r') out += "\\r";
    else if (c == L'\n') out += "\\n";
    else out += (c >= 32 && c < 127) ? static_cast<char>(c) : '?';
  }
  return out;
}
inline std::string Printable(const std::wstring& text) { return Printable(text.data(), text.size()); }
inline std::string Printable(BSTR text) { return Printable(text ? text : L"", ::SysStringLen(text)); }

inline std::string HexStatus(HRESULT hr) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08lX", static_cast<unsigned long>(hr));
  return buffer;
}

}  // namespace vemblaric::host
