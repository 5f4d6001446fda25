#include "serial_port/port_watch.h"

#include <algorithm>
#include <utility>

namespace vemblaric::serial_port {
namespace {

// After a device notice the device map may be written a moment later: the
// watcher looks again after this long.
constexpr DWORD kSettleMs = 250;

}  // namespace

// A slim lock: it never makes a handle of its own.
class PortWatch::Locked {
 public:
  explicit Locked(const PortWatch& watch) : lock_(watch.lock_) { ::AcquireSRWLockExclusive(&lock_); }
  ~Locked() { ::ReleaseSRWLockExclusive(&lock_); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  SRWLOCK& lock_;
};

PortWatch::PortWatch(Look look, Post post, bool threaded)
    : look_(look), post_(post), threaded_(threaded) {}

PortWatch& PortWatch::Process() {
  static PortWatch* watch = new PortWatch(&LookAtPorts, &::PostMessageW, true);
  return *watch;
}

// Under the lock.
void PortWatch::PostOwed() {
  for (Subscriber& s : subscribers_) {
    if (!s.owed || s.posted) continue;
    if (post_(s.window, s.message, 0, 0)) {
      s.posted = true;
      s.owed = false;
    }
  }
}

void PortWatch::Looked(PortLists now) {
  Locked hold(*this);
  if (now != last_) {
    last_ = std::move(now);
    // A window whose notice is on its way has not handled it yet: the
    // handler reads the ports after it took the notice, so that one tells.
    for (Subscriber& s : subscribers_)
      if (!s.posted) s.owed = true;
  }
  PostOwed();
}

DWORD WINAPI PortWatch::Watch(void* self) {
  PortWatch& w = *static_cast<PortWatch*>(self);
  DWORD wait = kIntervalMs;
  for (;;) {
    const bool woken = ::WaitForSingleObject(w.wake_, wait) == WAIT_OBJECT_0;
    {
      Locked hold(w);
      if (w.subscribers_.empty()) {
        w.running_ = false;
        return 0;
      }
    }
    w.Looked(w.look_());
    Locked hold(w);
    wait = kIntervalMs;
    if (woken && w.soon_) {
      w.soon_ = false;
      wait = kSettleMs;
    }
  }
}

void PortWatch::Subscribe(HWND window, UINT message) {
  bool first = false;
  {
    Locked hold(*this);
    for (const Subscriber& s : subscribers_)
      if (s.window == window) return;
    first = subscribers_.empty() && !running_;
  }
  PortLists now;
  if (first) now = look_();
  Locked hold(*this);
  subscribers_.push_back({window, message, ::GetCurrentThreadId(), false, false});
  if (!first || running_) return;
  last_ = std::move(now);
  if (!threaded_) return;
  if (!wake_) wake_ = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE thread = wake_ ? ::CreateThread(nullptr, 0, &PortWatch::Watch, this, 0, nullptr) : nullptr;
  // Without a thread the windows hear of no change, as where the system
  // gives no list; a later first subscriber tries again.
  running_ = thread != nullptr;
  if (thread) ::CloseHandle(thread);
}

void PortWatch::Drop(bool (*match)(const Subscriber&, const void*), const void* what) {
  Locked hold(*this);
  subscribers_.erase(std::remove_if(subscribers_.begin(), subscribers_.end(),
                                    [&](const Subscriber& s) { return match(s, what); }),
                     subscribers_.end());
  if (subscribers_.empty() && wake_) ::SetEvent(wake_);
}

void PortWatch::Unsubscribe(HWND window) {
  Drop([](const Subscriber& s, const void* w) { return s.window == static_cast<HWND>(const_cast<void*>(w)); },
       window);
}

void PortWatch::ThreadEnded(DWORD thread) {
  Drop([](const Subscriber& s, const void* t) { return s.thread == *static_cast<const DWORD*>(t); },
       &thread);
}

void PortWatch::Taken(HWND window) {
  Locked hold(*this);
  for (Subscriber& s : subscribers_)
    if (s.window == window) s.posted = false;
}

bool PortWatch::Seen(const std::wstring& name) const {
  std::wstring upper = name;
  for (wchar_t& c : upper)
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  Locked hold(*this);
  const auto listed = [&upper](const std::vector<std::wstring>& names) {
    return std::find(names.begin(), names.end(), upper) != names.end();
  };
  return listed(last_.deviceMap) || listed(last_.dosNames);
}

void PortWatch::LookSoon() {
  Locked hold(*this);
  soon_ = true;
  if (wake_) ::SetEvent(wake_);
}

}  // namespace vemblaric::serial_port
