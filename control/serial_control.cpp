// The control object's frame: construction, the property getters and setters,
// and the port primitives as members.
#include "control/serial_control.h"

#include <cwchar>
#include <new>

#include "control/failure_status.h"
#include "control/module1.h"

namespace vemblaric {

const wchar_t kCompanyText[] = L"Vemblaric serial control";
const wchar_t kVersionText[] = L"1.0";

namespace {

// A new copy for an out-parameter; null and the failure status when the copy
// cannot be made.
HRESULT CopyOut(const wchar_t* text, UINT length, BSTR* out) {
  *out = ::SysAllocStringLen(text, length);
  return *out ? S_OK : AutomationError(kOutOfMemory);
}

}  // namespace

SerialControl::SerialControl(HostSite& host, const Kernel32& kernel32)
    : host_(host), k_(kernel32), pump_(host), ports_(kernel32, pump_) {
  if (FAILED(InitProperties())) throw std::bad_alloc();
}

void SerialControl::HostPump::DoEvents() {
  if (!host_.DoEvents()) return;
  // WM_QUIT: every control of the thread leaves after this pass, and the
  // loop ends, so the host's own message loop gets to see the quit.
  // A thread without a record runs no loop, so nobody listens there.
  Module1State* m = Module1();
  if (!m) return;
  m->intLoopStop = kLoopStop;
  for (SerialControl* control : m->listeners)
    if (control->listening_ == Listening::kYes) control->listening_ = Listening::kThisPass;
}

void SerialControl::ArmLoop(Module1State& m) {
  // A host that listens to no events is never held inside Open_Com or
  // Write_Com: for it the flag stays as the caller left it.
  if (host_.HasEventSinks()) m.intLoopStop = 0;
}

// Properties. Each setter stores first and notifies afterwards, also when the
// value did not change.

HRESULT SerialControl::get_Port(short* value) {
  if (!value) return E_POINTER;
  *value = Port_;
  return S_OK;
}

HRESULT SerialControl::put_Port(short value) {
  Port_ = value;
  return host_.PropertyChanged(kDispidPort);
}

HRESULT SerialControl::get_Baud(long* value) {
  if (!value) return E_POINTER;
  *value = Baud_;
  return S_OK;
}

HRESULT SerialControl::put_Baud(long value) {
  Baud_ = value;
  return host_.PropertyChanged(kDispidBaud);
}

HRESULT SerialControl::get_Status(VARIANT_BOOL* value) {
  if (!value) return E_POINTER;
  *value = Status_;
  return S_OK;
}

HRESULT SerialControl::put_Status(VARIANT_BOOL value) {
  Status_ = value;  // kept as given: 1 stays 1
  return host_.PropertyChanged(kDispidStatus);
}

HRESULT SerialControl::get_Buffer(BSTR* value) {
  if (!value) return E_POINTER;
  return CopyOut(Buffer_.get(), Buffer_.length(), value);
}

HRESULT SerialControl::put_Buffer(BSTR value) {
  try {
    Buffer_ = Bstr(value, ::SysStringLen(value));
  } catch (...) {
    return CaughtStatus();
  }
  return host_.PropertyChanged(kDispidBuffer);
}

HRESULT SerialControl::get_Company(BSTR* value) {
  if (!value) return E_POINTER;
  return CopyOut(kCompanyText, static_cast<UINT>(wcslen(kCompanyText)), value);
}

HRESULT SerialControl::get_Version(BSTR* value) {
  if (!value) return E_POINTER;
  return CopyOut(kVersionText, static_cast<UINT>(wcslen(kVersionText)), value);
}

// The port primitives. They report through their result, never by failing.

HRESULT SerialControl::GetSystemMessage(long* lngErrorCode, BSTR* result) {
  if (!lngErrorCode || !result) return E_POINTER;
  *result = ports_.GetSystemMessage(*lngErrorCode);
  return S_OK;
}

HRESULT SerialControl::CommOpen(short* intPortID, BSTR* strPort, BSTR* strSettings,
                                long* result) {
  if (!intPortID || !strPort || !strSettings || !result) return E_POINTER;
  *result = ports_.CommOpen(*intPortID, *strPort, *strSettings);
  return S_OK;
}

HRESULT SerialControl::CommSet(short* intPortID, BSTR* strSettings, long* result) {
  if (!intPortID || !strSettings || !result) return E_POINTER;
  *result = ports_.CommSet(*intPortID, *strSettings);
  return S_OK;
}

HRESULT SerialControl::CommClose(short* intPortID, long* result) {
  if (!intPortID || !result) return E_POINTER;
  *result = ports_.CommClose(*intPortID);
  return S_OK;
}

HRESULT SerialControl::CommFlush(short* intPortID, long* result) {
  if (!intPortID || !result) return E_POINTER;
  *result = ports_.CommFlush(*intPortID);
  return S_OK;
}

HRESULT SerialControl::CommRead(short* intPortID, BSTR* strData, long* lngSize, long* result) {
  if (!intPortID || !strData || !lngSize || !result) return E_POINTER;
  *result = ports_.CommRead(*intPortID, *strData, *lngSize);
  return S_OK;
}

HRESULT SerialControl::CommWrite(short* intPortID, BSTR* strData, long* result) {
  if (!intPortID || !strData || !result) return E_POINTER;
  *result = ports_.CommWrite(*intPortID, *strData);
  return S_OK;
}

HRESULT SerialControl::CommGetLine(short* intPortID, short* intLine, VARIANT_BOOL* blnState,
                                   long* result) {
  if (!intPortID || !intLine || !blnState || !result) return E_POINTER;
  *result = ports_.CommGetLine(*intPortID, *intLine, *blnState);
  return S_OK;
}

HRESULT SerialControl::CommSetLine(short* intPortID, short* intLine, VARIANT_BOOL* blnState,
                                   long* result) {
  if (!intPortID || !intLine || !blnState || !result) return E_POINTER;
  *result = ports_.CommSetLine(*intPortID, *intLine, *blnState);
  return S_OK;
}

HRESULT SerialControl::CommGetError(BSTR* strMessage, long* result) {
  if (!strMessage || !result) return E_POINTER;
  *result = ports_.CommGetError(*strMessage);
  return S_OK;
}

}  // namespace vemblaric
