// The kernel32 calls of the port layer's seam, routed by handle: a handle
// that CreateFileA made for a network name ("rfc2217://", "socket://") is
// answered by the network transport, every other handle and every other name
// goes straight to the system's own call.
#pragma once

#include <windows.h>

namespace vemblaric::transport {

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL WINAPI SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue);
BOOL WINAPI PurgeComm(HANDLE h, DWORD flags);
BOOL WINAPI SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts);
BOOL WINAPI GetCommState(HANDLE h, LPDCB dcb);
BOOL WINAPI SetCommState(HANDLE h, LPDCB dcb);
BOOL WINAPI CloseHandle(HANDLE h);
BOOL WINAPI ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat);
BOOL WINAPI ReadFile(HANDLE h, LPVOID buffer, DWORD wanted, LPDWORD count, LPOVERLAPPED overlapped);
BOOL WINAPI WriteFile(HANDLE h, LPCVOID buffer, DWORD size, LPDWORD count, LPOVERLAPPED overlapped);
BOOL WINAPI GetOverlappedResult(HANDLE h, LPOVERLAPPED overlapped, LPDWORD count, BOOL wait);
BOOL WINAPI GetCommModemStatus(HANDLE h, LPDWORD status);
BOOL WINAPI EscapeCommFunction(HANDLE h, DWORD function);
BOOL WINAPI SetCommMask(HANDLE h, DWORD mask);
BOOL WINAPI WaitCommEvent(HANDLE h, LPDWORD mask, LPOVERLAPPED overlapped);
BOOL WINAPI CancelIoEx(HANDLE h, LPOVERLAPPED overlapped);

// How many network handles are open (for tests: every close releases its one).
size_t OpenNetworkHandles();
// What the port of a network handle holds for the server's bytes (for tests).
size_t NetworkBytesHeld(HANDLE h);

}  // namespace vemblaric::transport
