#include "port/kernel32.h"

#include "transport/network_calls.h"

namespace vemblaric {

// Calls on a handle go through the transport, which sends a network port's
// to its connection and every other straight to kernel32; the calls that
// take no handle go to kernel32 directly.
const Kernel32& SystemKernel32() {
  namespace t = transport;
  static const Kernel32 table = {
      t::CreateFileA,      t::SetupComm,          t::PurgeComm,       t::SetCommTimeouts,
      t::GetCommState,     ::BuildCommDCBA,       t::SetCommState,    t::CloseHandle,
      t::ClearCommError,   t::ReadFile,           t::WriteFile,       t::GetOverlappedResult,
      t::GetCommModemStatus, t::EscapeCommFunction, ::GetLastError,   ::FormatMessageA,
      ::SleepEx,           t::SetCommMask,        t::WaitCommEvent,   t::CancelIoEx,
      ::RegisterDeviceNotificationW, ::UnregisterDeviceNotification,
  };
  return table;
}

}  // namespace vemblaric
