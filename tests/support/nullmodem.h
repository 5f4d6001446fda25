// Helpers for tests on the null-modem bench: COM1<->COM2 and COM3<->COM4 are
// pty pairs, so what one end writes the other end reads.
#pragma once

#include <windows.h>

#include <string>

#include "port/port_layer.h"
#include "support/counting_pump.h"

namespace vemblaric::testing {

// A port layer on the real kernel32.
struct RealPort {
  CountingPump pump;
  PortLayer port{SystemKernel32(), pump};

  long Open(short id, const std::wstring& settings = L"baud=57600 parity=N data=8 stop=1") {
    const std::wstring name = L"COM" + std::to_wstring(id);
    Bstr n(name.c_str()), s(settings.c_str());
    return port.CommOpen(id, n.get(), s.get());
  }
  HANDLE Handle(short id) const {
    return reinterpret_cast<HANDLE>(static_cast<INT_PTR>(port.CommPorts(id).hPort));
  }
  long Write(short id, const std::wstring& text, std::wstring* after = nullptr) {
    BSTR data = Bstr(text.c_str(), static_cast<UINT>(text.size())).release();
    const long n = port.CommWrite(id, data);
    if (after) *after = Bstr::Adopt(data).str();
    else ::SysFreeString(data);
    return n;
  }
  // Reads until `chars` characters have arrived or `timeoutMs` has passed.
  // Asks for what is queued only, so no read waits out the port's time-out.
  std::wstring ReadExactly(short id, size_t chars, DWORD timeoutMs = 20000) {
    std::wstring got;
    const DWORD start = ::GetTickCount();
    while (got.size() < chars && ::GetTickCount() - start < timeoutMs) {
      Bstr data;
      const long n = port.CommRead(id, *data.put(), 0);
      if (n < 0) break;
      if (n == 0) ::Sleep(1);
      got += data.str();
    }
    return got;
  }
  // Waits until the input queue holds at least `bytes`.
  bool WaitQueued(short id, DWORD bytes, DWORD timeoutMs = 10000) {
    const DWORD start = ::GetTickCount();
    for (;;) {
      DWORD errors = 0;
      COMSTAT stat{};
      if (::ClearCommError(Handle(id), &errors, &stat) && stat.cbInQue >= bytes) return true;
      if (::GetTickCount() - start >= timeoutMs) return false;
      ::Sleep(1);
    }
  }
};

}  // namespace vemblaric::testing
