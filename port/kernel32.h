// The port layer's one door to the operating system: the kernel32 calls it
// makes, as a table of function pointers. Production binds the table straight
// to kernel32; tests hand the layer a scripted fake instead. Calls through the
// table cost one indirect call and nothing else.
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
};

// The table bound to the real kernel32.
const Kernel32& SystemKernel32();

}  // namespace vemblaric
