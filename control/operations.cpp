// The one-call connection operations on the slot named by Port.
#include <string>

#include "control/failure_status.h"
#include "control/module1.h"
#include "control/serial_control.h"

namespace vemblaric {
namespace {

constexpr long kClosePauseMs = 100;
constexpr wchar_t kPortNamePrefix[] = L"COM";
constexpr wchar_t kSettingsPrefix[] = L"baud=";
constexpr wchar_t kSettingsFraming[] = L" parity=N data=8 stop=1";
constexpr short kLineDtr = 2;
constexpr short kLineRts = 3;

// For the callers that go on past a failing member: the failure is dropped
// here, on purpose.
void Ignored(HRESULT) {}

}  // namespace

HRESULT SerialControl::Open_Com() {
  Module1State* m = Module1();
  if (!m) return E_OUTOFMEMORY;
  // Open_Com goes on past every failing call; the host learns the outcome
  // from Status and CommGetError.
  Ignored(close_Com_norm());

  try {
    Bstr settings, name;
    BSTR& strSettings = *settings.put();
    if (SUCCEEDED(settingeval(&Baud_, &strSettings))) {
      BSTR& strPort = *name.put();
      AssignBstr(strPort, kPortNamePrefix + std::to_wstring(Port_));
      long result = 0;
      if (SUCCEEDED(CommOpen(&Port_, &strPort, &strSettings, &result))) m->lngStatus = result;
    }
  } catch (...) {
    // The open step is skipped; lngStatus keeps what the close left.
  }

  if (m->lngStatus != 0) {
    Status_ = VARIANT_FALSE;
    return S_OK;
  }
  Status_ = VARIANT_TRUE;
  Ignored(ControlOn());
  ArmLoop(*m);
  Ignored(looprocess());
  return S_OK;
}

HRESULT SerialControl::Close_Com() {
  Module1State* m = Module1();
  if (!m) return E_OUTOFMEMORY;
  StopListening(*m);
  long pause = kClosePauseMs;
  const HRESULT hr = waitnow(&pause);
  if (FAILED(hr)) return hr;
  long result = 0;
  if (SUCCEEDED(CommClose(&Port_, &result))) m->lngStatus = result;
  return S_OK;
}

HRESULT SerialControl::close_Com_norm() {
  // An Open_Com of a listening control leaves here and, once its port is
  // open again, joins again.
  Module1State* m = Module1();
  if (!m) return E_OUTOFMEMORY;
  StopListening(*m);
  long pause = kClosePauseMs;
  HRESULT hr = waitnow(&pause);
  if (FAILED(hr)) return hr;
  long result = 0;
  hr = CommClose(&Port_, &result);
  if (FAILED(hr)) return hr;
  m->lngStatus = result;
  return S_OK;
}

HRESULT SerialControl::Clear_Com() {
  Module1State* m = Module1();
  if (!m) return E_OUTOFMEMORY;
  long result = 0;
  const HRESULT hr = CommFlush(&Port_, &result);
  if (FAILED(hr)) return hr;
  m->lngStatus = result;
  return S_OK;
}

HRESULT SerialControl::ControlOn() {
  Module1State* m = Module1();
  if (!m) return E_OUTOFMEMORY;
  // RTS first, then DTR; the second change is tried whatever the first gave.
  short rts = kLineRts, dtr = kLineDtr;
  VARIANT_BOOL on = VARIANT_TRUE;
  long result = 0;
  if (SUCCEEDED(CommSetLine(&Port_, &rts, &on, &result))) m->lngStatus = result;
  if (SUCCEEDED(CommSetLine(&Port_, &dtr, &on, &result))) m->lngStatus = result;
  return S_OK;
}

HRESULT SerialControl::ControlOff() {
  Module1State* m = Module1();
  if (!m) return E_OUTOFMEMORY;
  short rts = kLineRts, dtr = kLineDtr;
  VARIANT_BOOL off = VARIANT_FALSE;
  long result = 0;
  if (SUCCEEDED(CommSetLine(&Port_, &rts, &off, &result))) m->lngStatus = result;
  if (SUCCEEDED(CommSetLine(&Port_, &dtr, &off, &result))) m->lngStatus = result;
  return S_OK;
}

HRESULT SerialControl::waitnow(long* valu1) {
  if (!valu1) return E_POINTER;
  // Blocks the thread without pumping: nothing of the host runs meanwhile.
  if (*valu1 >= 0) k_.SleepEx(static_cast<DWORD>(*valu1), FALSE);
  return S_OK;
}

HRESULT SerialControl::settingeval(long* p1, BSTR* result) {
  if (!p1 || !result) return E_POINTER;
  *result = nullptr;
  try {
    const std::wstring text = kSettingsPrefix + std::to_wstring(*p1) + kSettingsFraming;
    *result = Bstr(text.c_str(), static_cast<UINT>(text.size())).release();
    return S_OK;
  } catch (...) {
    return CaughtStatus();
  }
}

}  // namespace vemblaric
