#include "port/kernel32.h"

#include <new>
#include <string>

#include "devices/port_resolution.h"
#include "transport/network_calls.h"

namespace vemblaric {
namespace {

bool HasPrefix(const char* name, const char* prefix) {
  for (; *prefix; ++name, ++prefix) {
    const char c = (*name >= 'A' && *name <= 'Z') ? static_cast<char>(*name - 'A' + 'a') : *name;
    if (c != *prefix) return false;
  }
  return true;
}

// A name that says which device (usb://, match://) opens the port it
// resolves to now; the failure's text stays here, its error goes to the
// caller as CreateFile's would. Every other name goes on unchanged.
HANDLE WINAPI CreateFileByDevice(LPCSTR name, DWORD access, DWORD share,
                                 LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                 HANDLE templateFile) {
  if (!name || !(HasPrefix(name, "usb://") || HasPrefix(name, "match://")))
    return transport::CreateFileA(name, access, share, security, disposition, flags, templateFile);
  try {
    const int length = ::MultiByteToWideChar(CP_ACP, 0, name, -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(length > 0 ? length : 1), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, name, -1, wide.data(), length);
    wide.resize(wide.size() - 1);
    const devices::ResolvedPort resolved = devices::ResolvePortName(wide);
    if (resolved.failed()) {
      ::SetLastError(resolved.error);
      return INVALID_HANDLE_VALUE;
    }
    return ::CreateFileW(resolved.path.c_str(), access, share, security, disposition, flags,
                         templateFile);
  } catch (const std::bad_alloc&) {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
}

}  // namespace

// Calls on a handle go through the transport, which sends a network port's
// to its connection and every other straight to kernel32; the calls that
// take no handle go to kernel32 directly.
const Kernel32& SystemKernel32() {
  namespace t = transport;
  static const Kernel32 table = {
      CreateFileByDevice,  t::SetupComm,          t::PurgeComm,       t::SetCommTimeouts,
      t::GetCommState,     ::BuildCommDCBA,       t::SetCommState,    t::CloseHandle,
      t::ClearCommError,   t::ReadFile,           t::WriteFile,       t::GetOverlappedResult,
      t::GetCommModemStatus, t::EscapeCommFunction, ::GetLastError,   ::FormatMessageA,
      ::SleepEx,           t::SetCommMask,        t::WaitCommEvent,   t::CancelIoEx,
      ::RegisterDeviceNotificationW, ::UnregisterDeviceNotification,
  };
  return table;
}

}  // namespace vemblaric
