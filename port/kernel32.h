// The port layer's one door to the operating system: the kernel32 calls it
// makes, as a table of function pointers. Production binds the table to the
// transport, which passes device names and their handles straight to kernel32
// and answers for the ports it opened on other machines; tests hand the layer
// a scripted fake instead.
#pragma once

#include <windows.h>

namespace vemblaric {

struct Kernel32 {
  HANDLE(WINAPI* CreateFileA)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
  BOOL(WINAPI* SetupComm)(HANDLE, DWORD, DWORD);
  BOOL(WINAPI* PurgeComm)(HANDLE, DWORD);
  BOOL(WINAPI* SetCommTimeouts)(HANDLE, LPCOMMTIMEOUTS);
  BOOL(WINAPI* GetCommState)(HANDLE, LPDCB);
  BOOL(WINAPI* BuildCommDCBA)(LPCSTR, LPDCB);
  BOOL(WINAPI* SetCommState)(HANDLE, LPDCB);
  BOOL(WINAPI* CloseHandle)(HANDLE);
  BOOL(WINAPI* ClearCommError)(HANDLE, LPDWORD, LPCOMSTAT);
  BOOL(WINAPI* ReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
  BOOL(WINAPI* WriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
  BOOL(WINAPI* GetOverlappedResult)(HANDLE, LPOVERLAPPED, LPDWORD, BOOL);
  BOOL(WINAPI* GetCommModemStatus)(HANDLE, LPDWORD);
  BOOL(WINAPI* EscapeCommFunction)(HANDLE, DWORD);
  DWORD(WINAPI* GetLastError)();
  DWORD(WINAPI* FormatMessageA)(DWORD, LPCVOID, DWORD, DWORD, LPSTR, DWORD, va_list*);
  DWORD(WINAPI* SleepEx)(DWORD, BOOL);
  // The communication-event wait of a port's watcher, and how it is ended.
  BOOL(WINAPI* SetCommMask)(HANDLE, DWORD);
  BOOL(WINAPI* WaitCommEvent)(HANDLE, LPDWORD, LPOVERLAPPED);
  BOOL(WINAPI* CancelIoEx)(HANDLE, LPOVERLAPPED);
  // The system's notices of ports that arrive and go, sent to a window
  // (user32's; here so that tests can deliver what Wine never sends).
  HDEVNOTIFY(WINAPI* RegisterDeviceNotificationW)(HANDLE, LPVOID, DWORD);
  BOOL(WINAPI* UnregisterDeviceNotification)(HDEVNOTIFY);
};

// The table bound to the system: kernel32, and the network for
// "rfc2217://" and "socket://" names.
const Kernel32& SystemKernel32();

}  // namespace vemblaric
