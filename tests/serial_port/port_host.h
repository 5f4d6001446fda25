// A host of SerialPort objects for tests: making them, pumping the thread's
// messages until something happened, an event sink, and byte arrays.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "SerialPort.h"
#include "com/owners.h"
#include "serial_port/serial_port_object.h"
#include "support/com_test.h"

namespace vemblaric::testing {

inline ComPtr<ISerialPort> NewSerialPort(const wchar_t* name = nullptr) {
  ComPtr<ISerialPort> port;
  EXPECT_HRESULT_SUCCEEDED(serial_port::SerialPortObject::Create(IID_ISerialPort, port.put_void()));
  if (port && name) {
    EXPECT_HRESULT_SUCCEEDED(port->put_PortName(Bstr(name).get()));
  }
  return port;
}

// Handles the thread's messages, as an idle host does, until `done` holds or
// `ms` have passed; whether it held.
template <typename Done>
bool PumpUntil(Done done, DWORD ms = 10000) {
  const ULONGLONG end = ::GetTickCount64() + ms;
  for (;;) {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
    if (done()) return true;
    if (::GetTickCount64() >= end) return false;
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
}

// The description the last failed call left in the thread's error object.
inline std::wstring LastErrorDescription() {
  ComPtr<IErrorInfo> info;
  if (::GetErrorInfo(0, info.put()) != S_OK || !info) return std::wstring();
  Bstr description;
  info->GetDescription(description.put());
  return description.str();
}

constexpr DISPID kDataReceived = 1;
constexpr DISPID kPinChanged = 2;
constexpr DISPID kErrorReceived = 3;
constexpr DISPID kPortsChanged = 4;
constexpr DISPID kReconnected = 5;

// A sink of the port's events that records them and runs a handler; the
// events without an argument are recorded with 0.
class PortEvents final : public SinkBase {
 public:
  struct Event {
    DISPID id;
    LONG argument;
    DWORD thread;
  };
  using Handler = std::function<void(DISPID id, LONG argument)>;

  PortEvents() : SinkBase(DIID_ISerialPortEvents) {}

  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                   EXCEPINFO*, UINT*) override {
    const UINT arguments = id == kPortsChanged || id == kReconnected ? 0 : 1;
    if (params->cArgs != arguments || (arguments && params->rgvarg[0].vt != VT_I4)) {
      ADD_FAILURE() << "event " << id << " arrived with " << params->cArgs << " arguments";
      return DISP_E_BADPARAMCOUNT;
    }
    const LONG argument = arguments ? params->rgvarg[0].lVal : 0;
    received.push_back({id, argument, ::GetCurrentThreadId()});
    if (handler) handler(id, argument);
    return S_OK;
  }

  size_t Count(DISPID id) const {
    size_t n = 0;
    for (const Event& e : received) n += e.id == id;
    return n;
  }

  Handler handler;
  std::vector<Event> received;
};

// Connects a sink to a port's events for its lifetime.
class EventConnection {
 public:
  EventConnection(IUnknown* port, IDispatch* sink) {
    ComPtr<IConnectionPointContainer> container;
    EXPECT_HRESULT_SUCCEEDED(port->QueryInterface(IID_IConnectionPointContainer, container.put_void()));
    if (container) {
      EXPECT_HRESULT_SUCCEEDED(container->FindConnectionPoint(DIID_ISerialPortEvents, point_.put()));
    }
    if (point_) {
      EXPECT_HRESULT_SUCCEEDED(point_->Advise(sink, &cookie_));
    }
  }
  ~EventConnection() {
    if (point_ && cookie_) point_->Unadvise(cookie_);
  }
  EventConnection(const EventConnection&) = delete;
  EventConnection& operator=(const EventConnection&) = delete;

 private:
  ComPtr<IConnectionPoint> point_;
  DWORD cookie_ = 0;
};

// A Byte() array in a variant, as VBA passes one.
inline Variant ByteArray(const std::string& bytes) {
  Variant v;
  SAFEARRAY* array = ::SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
  void* raw = nullptr;
  ::SafeArrayAccessData(array, &raw);
  if (!bytes.empty()) std::memcpy(raw, bytes.data(), bytes.size());
  ::SafeArrayUnaccessData(array);
  v.get()->vt = VT_ARRAY | VT_UI1;
  v.get()->parray = array;
  return v;
}

inline std::string BytesOf(const VARIANT& v) {
  if (v.vt != (VT_ARRAY | VT_UI1)) {
    ADD_FAILURE() << "not a Byte() array: vt " << v.vt;
    return std::string();
  }
  LONG low = 0, high = -1;
  ::SafeArrayGetLBound(v.parray, 1, &low);
  ::SafeArrayGetUBound(v.parray, 1, &high);
  std::string out(static_cast<size_t>(high - low + 1), '\0');
  void* raw = nullptr;
  ::SafeArrayAccessData(v.parray, &raw);
  if (!out.empty()) std::memcpy(&out[0], raw, out.size());
  ::SafeArrayUnaccessData(v.parray);
  return out;
}

// Reads bytes until `count` came or `ms` passed.
inline std::string ReadBytesExactly(ISerialPort* port, size_t count, DWORD ms = 10000) {
  std::string got;
  const ULONGLONG end = ::GetTickCount64() + ms;
  while (got.size() < count && ::GetTickCount64() < end) {
    Variant chunk;
    if (FAILED(port->ReadBytes(static_cast<LONG>(count - got.size()), chunk.get()))) continue;
    got += BytesOf(*chunk.get());
  }
  return got;
}

inline std::wstring Text(ISerialPort* port, HRESULT (STDMETHODCALLTYPE ISerialPort::*read)(BSTR*)) {
  Bstr text;
  EXPECT_HRESULT_SUCCEEDED((port->*read)(text.put()));
  return text.str();
}

}  // namespace vemblaric::testing
