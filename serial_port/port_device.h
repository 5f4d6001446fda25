// The open device of one SerialPort: its handle through the kernel32 seam, the
// transfers the host's thread makes, and the watcher thread that waits on the
// device and posts what it sees to the object's window. The watcher never
// calls the host: it only posts, so every event is raised on the object's
// thread, from its message queue.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include "port/kernel32.h"
#include "serial_port/arrivals.h"
#include "serial_port/line_settings.h"

namespace vemblaric::serial_port {

// A posted message's wParam: the notice's kind in its low bits, the session
// (which opening of the port) above them.
constexpr unsigned kNoticeBits = 4;

// A failed call: the system's error code and the call that gave it.
struct Failure {
  DWORD error = 0;
  const wchar_t* call = L"";
  bool failed() const { return error != 0; }
};

// How long the host's transfers may take: -1 is no limit.
constexpr long kNoLimit = -1;

struct WatchState;

// How a notice reaches the object's window: PostMessageW, or a stand-in that
// refuses as a full queue does (tests).
using NoticePoster = BOOL(WINAPI*)(HWND, UINT, WPARAM, LPARAM);

class PortDevice {
 public:
  // Notices go to `window` as `message`, tagged with `session`.
  PortDevice(const Kernel32& k, HWND window, UINT message, unsigned session,
             NoticePoster post = ::PostMessageW);
  ~PortDevice();
  PortDevice(const PortDevice&) = delete;
  PortDevice& operator=(const PortDevice&) = delete;

  // Opens `path` for exclusive access, applies the settings and the write
  // limit, and starts the watcher. On failure nothing stays open.
  Failure Open(const std::string& path, const LineSettings& settings, long writeTimeout);
  // Ends the watcher and closes the handle; nothing is posted after it.
  void Close();

  Failure Apply(const LineSettings& settings);
  Failure SetWriteTimeout(long writeTimeout);
  // The driver's queue counts; a break and line errors met on the way are
  // told as the watcher's are.
  Failure Queues(DWORD* in, DWORD* out);
  // Appends up to `most` of the bytes queued now to `into`; never waits.
  Failure Read(std::string& into, DWORD most);
  // Writes all of `count` bytes, within the write limit; `written` says how
  // many went when the limit ended the write (ERROR_TIMEOUT).
  Failure Write(const char* bytes, DWORD count, DWORD* written);
  // Discarded received bytes count as taken, so the arrival count goes on.
  Failure Purge(DWORD flags);
  Failure ModemStatus(DWORD* status);
  Failure Escape(DWORD function);

  // Returns when the watcher has seen bytes queued, or after `ms`.
  void WaitForArrival(DWORD ms);

  // What the watcher and the host share about this opening; only while open.
  Arrivals& arrivals();

  // Every watcher of the calling thread's ports stops: the thread is ending
  // without having closed them (called from the library's thread detach).
  static void StopThreadWatchers();

 private:
  Failure Finish(HANDLE handle, OVERLAPPED& ov, DWORD bound, DWORD* count, const wchar_t* call);

  const Kernel32& k_;
  HWND window_;
  UINT message_;
  unsigned session_;
  NoticePoster post_;
  HANDLE port_ = INVALID_HANDLE_VALUE;
  HANDLE transferEvent_ = nullptr;
  HANDLE thread_ = nullptr;
  long writeTimeout_ = kNoLimit;
  std::shared_ptr<WatchState> watch_;
};

}  // namespace vemblaric::serial_port
