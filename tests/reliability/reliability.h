// What the reliability programs share: the process's figures that a long run
// must leave flat, and a watchdog that turns a hang into a failure.
#pragma once

#include <windows.h>
#include <psapi.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "support/unix_program.h"

namespace vemblaric::testing {

// Committed memory, live handles and thread-local-storage indexes of this
// process. Under Wine 8 PrivateUsage and GetProcessHandleCount read 0, so
// memory is PagefileUsage and handles are counted by asking every handle
// value in the range Wine hands out. TlsAlloc hands out the lowest free
// index, so an index held for good pushes the next one up.
struct ProcessFigures {
  long long memory = 0;  // bytes
  long handles = 0;
  long tls = 0;  // the index TlsAlloc hands out next

  static ProcessFigures Now() {
    ProcessFigures f;
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters))
      f.memory = static_cast<long long>(counters.PagefileUsage);
    for (UINT_PTR value = 4; value < 0x10000; value += 4) {
      DWORD flags = 0;
      if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++f.handles;
    }
    const DWORD index = ::TlsAlloc();
    ::TlsFree(index);
    f.tls = static_cast<long>(index);
    return f;
  }
};

inline std::string Delta(const ProcessFigures& before, const ProcessFigures& after) {
  return "memory " + std::to_string((after.memory - before.memory) / 1024) + " KiB, handles " +
         std::to_string(after.handles - before.handles) + ", TLS index " +
         std::to_string(after.tls - before.tls) + " (from " + std::to_string(before.memory / 1024) +
         " KiB, " + std::to_string(before.handles) + " handles and index " +
         std::to_string(before.tls) + ")";
}

// Ends the process with a message when the watched work makes no progress for
// `stall`: a hung call then fails its test instead of holding ctest until its
// time-out. `where` names the work in progress for the message. It is
// running once constructed, so what its thread's start costs the process is
// spent before the watched work is measured.
class Watchdog {
 public:
  Watchdog(std::chrono::milliseconds stall, const std::atomic<long>& progress, const char* where)
      : thread_([this, stall, &progress, where] {
          std::unique_lock<std::mutex> lock(mutex_);
          running_ = true;
          changed_.notify_all();
          long seen = progress.load();
          while (!done_) {
            if (changed_.wait_for(lock, stall, [this] { return done_; })) return;
            const long now = progress.load();
            if (now == seen) {
              std::fprintf(stderr, "watchdog: %s made no progress for %lld ms at step %ld\n", where,
                           static_cast<long long>(stall.count()), now);
              std::fflush(stderr);
              ::TerminateProcess(::GetCurrentProcess(), 3);
            }
            seen = now;
          }
        }) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return running_; });
  }
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool done_ = false;
  bool running_ = false;
  std::thread thread_;
};

// A message-only window of the host: its posted messages and timer ticks run
// `handler` wherever the thread's messages are pumped, as a host's do.
class HostWindow {
 public:
  HostWindow() {
    WNDCLASSW c{};
    c.lpfnWndProc = Procedure;
    c.hInstance = ::GetModuleHandleW(nullptr);
    c.lpszClassName = L"VemblaricReliabilityHost";
    ::RegisterClassW(&c);  // fails harmlessly when already registered
    hwnd = ::CreateWindowExW(0, c.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             c.hInstance, nullptr);
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  ~HostWindow() { ::DestroyWindow(hwnd); }
  HostWindow(const HostWindow&) = delete;
  HostWindow& operator=(const HostWindow&) = delete;

  void Post(UINT message) { ::PostMessageW(hwnd, message, 0, 0); }
  void Tick(UINT ms) { ::SetTimer(hwnd, 1, ms, nullptr); }
  void StopTicking() { ::KillTimer(hwnd, 1); }

  HWND hwnd = nullptr;
  std::function<void(UINT message)> handler;  // WM_TIMER and WM_APP onwards

 private:
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* self = reinterpret_cast<HostWindow*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self && self->handler && (message == WM_TIMER || message >= WM_APP)) {
      self->handler(message);
      return 0;
    }
    return ::DefWindowProcW(window, message, wparam, lparam);
  }
};

// Runs a program of the Linux side (the bench's scripts) from this Wine
// process; its end is not reported, so callers wait for its effect.
inline bool RunUnix(const std::wstring& commandLine) { return RunUnixProgram(commandLine); }

// Waits until `holds` is true, at most `timeoutMs`; polls every 10 ms.
inline bool WaitUntil(const std::function<bool()>& holds, DWORD timeoutMs) {
  const DWORD start = ::GetTickCount();
  while (!holds()) {
    if (::GetTickCount() - start >= timeoutMs) return false;
    ::Sleep(10);
  }
  return true;
}

}  // namespace vemblaric::testing
