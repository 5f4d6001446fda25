#include "serial_port/port_watch.h"

#include <algorithm>
#include <vector>

#include "serial_port/port_names.h"

namespace vemblaric::serial_port::port_watch {
namespace {

// After a device notice the device map may be written a moment later: the
// watcher looks again after this long.
constexpr DWORD kSettleMs = 250;

struct Subscriber {
  HWND window;
  UINT message;
  DWORD thread;
  bool posted;  // a notice is on its way
  bool owed;    // a change is not told yet
};

// A slim lock: it never makes a handle of its own.
SRWLOCK g_lock = SRWLOCK_INIT;
class Locked {
 public:
  Locked() { ::AcquireSRWLockExclusive(&g_lock); }
  ~Locked() { ::ReleaseSRWLockExclusive(&g_lock); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

std::vector<Subscriber> g_subscribers;
PortLists g_last;
bool g_running = false;  // a watcher thread runs, or is about to
bool g_soon = false;     // a device notice asked for a second look
HANDLE g_wake = nullptr;  // made once, kept for the process's life

// Under the lock.
void PostOwed() {
  for (Subscriber& s : g_subscribers) {
    if (!s.owed || s.posted) continue;
    if (::PostMessageW(s.window, s.message, 0, 0)) {
      s.posted = true;
      s.owed = false;
    }
  }
}

bool Listed(const std::vector<std::wstring>& names, const std::wstring& upper) {
  return std::find(names.begin(), names.end(), upper) != names.end();
}

DWORD WINAPI Watch(void*) {
  DWORD wait = kIntervalMs;
  for (;;) {
    const bool woken = ::WaitForSingleObject(g_wake, wait) == WAIT_OBJECT_0;
    {
      Locked hold;
      if (g_subscribers.empty()) {
        g_running = false;
        return 0;
      }
    }
    PortLists now = LookAtPorts();
    Locked hold;
    if (g_subscribers.empty()) {
      g_running = false;
      return 0;
    }
    if (now != g_last) {
      g_last = std::move(now);
      for (Subscriber& s : g_subscribers) s.owed = true;
    }
    PostOwed();
    wait = kIntervalMs;
    if (woken && g_soon) {
      g_soon = false;
      wait = kSettleMs;
    }
  }
}

}  // namespace

void Subscribe(HWND window, UINT message) {
  bool start = false;
  {
    Locked hold;
    for (const Subscriber& s : g_subscribers)
      if (s.window == window) return;
    start = !g_running;
  }
  // The first subscriber's look: what changed while nobody watched is no
  // change, and Seen answers at once.
  PortLists now;
  if (start) now = LookAtPorts();
  Locked hold;
  g_subscribers.push_back({window, message, ::GetCurrentThreadId(), false, false});
  if (!start || g_running) return;
  g_last = std::move(now);
  if (!g_wake) g_wake = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE thread = g_wake ? ::CreateThread(nullptr, 0, Watch, nullptr, 0, nullptr) : nullptr;
  // Without a thread the window hears of no change, as where the system
  // gives no list; a later subscriber tries again.
  g_running = thread != nullptr;
  if (thread) ::CloseHandle(thread);
}

void Unsubscribe(HWND window) {
  Locked hold;
  g_subscribers.erase(std::remove_if(g_subscribers.begin(), g_subscribers.end(),
                                     [window](const Subscriber& s) { return s.window == window; }),
                      g_subscribers.end());
  if (g_subscribers.empty() && g_wake) ::SetEvent(g_wake);
}

void Taken(HWND window) {
  Locked hold;
  for (Subscriber& s : g_subscribers)
    if (s.window == window) s.posted = false;
}

bool Seen(const std::wstring& name) {
  std::wstring upper = name;
  for (wchar_t& c : upper)
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  Locked hold;
  return Listed(g_last.deviceMap, upper) || Listed(g_last.dosNames, upper);
}

void LookSoon() {
  Locked hold;
  g_soon = true;
  if (g_wake) ::SetEvent(g_wake);
}

void ThreadEnded() {
  const DWORD thread = ::GetCurrentThreadId();
  Locked hold;
  g_subscribers.erase(std::remove_if(g_subscribers.begin(), g_subscribers.end(),
                                     [thread](const Subscriber& s) { return s.thread == thread; }),
                      g_subscribers.end());
  if (g_subscribers.empty() && g_wake) ::SetEvent(g_wake);
}

}  // namespace vemblaric::serial_port::port_watch
