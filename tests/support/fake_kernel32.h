// A scripted stand-in for the kernel32 calls behind the port layer's seam, for
// what a pty cannot produce: pending transfers, odd error codes, modem bits.
//
// Each call takes the next scripted answer for its function (or the default
// answer when none is queued), records itself with its arguments, and leaves
// the answer's error code as the last-error value. FormatMessageA and
// BuildCommDCBA pass through to the real kernel32 unless scripted, so message
// texts and settings parsing are the system's own. Unscripted calls succeed,
// except on a null or invalid handle, where they fail with ERROR_INVALID_HANDLE
// as the system's do.
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "port/kernel32.h"

namespace vemblaric::testing {

struct FakeAnswer {
  BOOL ok = TRUE;
  DWORD error = 0;            // last-error value the call leaves
  HANDLE handle = nullptr;    // CreateFileA: the handle on success (default: a fresh one)
  DWORD count = 0;            // ReadFile/WriteFile/GetOverlappedResult: bytes reported
  std::string data;           // ReadFile: bytes placed in the buffer
  DWORD errors = 0;           // ClearCommError: error word
  DWORD inQueue = 0;          // ClearCommError: cbInQue
  DWORD modem = 0;            // GetCommModemStatus: status word
  std::function<void()> during;  // runs inside the call, before it returns
};

struct FakeCall {
  std::string function;
  HANDLE handle = nullptr;
  std::string text;        // CreateFileA name, BuildCommDCBA settings, WriteFile bytes
  DWORD arg1 = 0;          // access, in-queue size, purge flags, count asked, escape code, ms, flags
  DWORD arg2 = 0;          // share mode, out-queue size, alertable
  DWORD arg3 = 0;          // creation disposition
  DWORD arg4 = 0;          // flags and attributes
  bool hasSecurity = false, hasTemplate = false;
  COMMTIMEOUTS timeouts{};
  DCB dcb{};               // SetCommState: the block the caller passed
  const void* overlapped = nullptr;
  BOOL wait = FALSE;
};

class FakeKernel32 {
 public:
  FakeKernel32();   // becomes the fake that the table's calls reach
  ~FakeKernel32();
  FakeKernel32(const FakeKernel32&) = delete;
  FakeKernel32& operator=(const FakeKernel32&) = delete;

  const Kernel32& table() const;

  // Queues one answer for the next call of `function`.
  FakeKernel32& Next(const std::string& function, FakeAnswer answer);
  FakeKernel32& Fail(const std::string& function, DWORD error);
  // The answer given when nothing is queued.
  void Default(const std::string& function, FakeAnswer answer);

  // Every call except GetLastError and FormatMessageA, in order.
  const std::vector<FakeCall>& calls() const { return calls_; }
  std::vector<std::string> names() const;
  std::vector<FakeCall> named(const std::string& function) const;
  void ClearCalls();
  DWORD lastFormatFlags() const { return lastFormatFlags_; }

  // Sets this thread's last-error value, as a call that failed beside the
  // fake (one that a test routes elsewhere) leaves it for the fake's GetLastError.
  static void SetThreadLastError(DWORD error);

  // Used by the table's functions.
  static FakeKernel32& Current();
  FakeAnswer Take(const FakeCall& call);
  DWORD lastFormatFlags_ = 0;

 private:
  std::map<std::string, std::deque<FakeAnswer>> queued_;
  std::map<std::string, FakeAnswer> defaults_;
  std::vector<FakeCall> calls_;
  FakeKernel32* previous_;
  unsigned nextHandle_ = 0x100;
};

}  // namespace vemblaric::testing
