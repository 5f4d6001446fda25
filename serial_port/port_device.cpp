#include "serial_port/port_device.h"

#include <algorithm>
#include <new>
#include <vector>

namespace vemblaric::serial_port {
namespace {

constexpr DWORD kQueueBytes = 4096;
constexpr DWORD kWatchedEvents = EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_RING | EV_ERR;
// Where the driver has no event wait (Wine with a pty), the watcher looks at
// the queue: every few milliseconds while bytes come or the host writes, which
// keeps DataReceived prompt in a conversation, and less often once the port
// has been quiet for a while, so an idle port costs next to nothing. The first
// byte after a quiet spell is seen within the longer interval.
constexpr DWORD kPollMs = 4;
constexpr DWORD kQuietPollMs = 20;
constexpr ULONGLONG kQuietAfterMs = 1000;
// A read never waits (its time-outs say so); a write's own limit is the
// driver's. These bounds only keep a driver that ignores them from holding
// the host: past them the transfer is cancelled.
constexpr DWORD kReadBound = 1000;
constexpr DWORD kWriteMargin = 500;
// How long closing waits for the watcher to end; it ends within one wait.
constexpr DWORD kWatcherEnd = 5000;
// How long a cancelled event wait is given to end. Longer than closing
// waits: closing the handle after that is what ends a driver's waits for
// good (the handle's cleanup cancels them), and the watcher wants to see it.
constexpr DWORD kCancelledWaitEnd = kWatcherEnd + 1000;

// A call that failed: one that left no error code (a driver's, or a
// stand-in's, oddity) failed all the same, and must not read as success.
Failure CallFailed(DWORD error, const wchar_t* call) { return {error ? error : ERROR_GEN_FAILURE, call}; }

HANDLE NewEvent(bool manualReset) {
  HANDLE event = ::CreateEventW(nullptr, manualReset, FALSE, nullptr);
  if (!event) throw std::bad_alloc();
  return event;
}

void CloseIf(HANDLE& handle) {
  if (handle) ::CloseHandle(handle);
  handle = nullptr;
}

}  // namespace

// What the host's thread and the watcher share; the watcher holds it as long
// as it runs, so a watcher that outlives its device (a thread that ended
// without closing) touches nothing freed. Its arrivals keep their own rules;
// the rest is set before the watcher starts, or is an event or an atomic.
// The event wait's OVERLAPPED is here, not on the watcher's stack, so that
// it lives as long as the driver may write to it.
struct WatchState {
  WatchState(const Kernel32& kernel, HANDLE device, HWND target, UINT posted, unsigned id,
             NoticePoster poster)
      : k(kernel), port(device), window(target), message(posted), session(id), post(poster),
        owner(::GetCurrentThreadId()), arrivals(&WatchState::PostNotice, this) {
    stop = NewEvent(true);
    recheck = NewEvent(false);
    arrival = NewEvent(false);
    waitOv.hEvent = NewEvent(true);
  }
  ~WatchState() {
    CloseIf(stop);
    CloseIf(recheck);
    CloseIf(arrival);
    CloseIf(waitOv.hEvent);
  }
  WatchState(const WatchState&) = delete;
  WatchState& operator=(const WatchState&) = delete;

  static bool PostNotice(void* context, Notice kind) {
    const auto& w = *static_cast<const WatchState*>(context);
    const WPARAM tag = (static_cast<WPARAM>(w.session) << kNoticeBits) | static_cast<WPARAM>(kind);
    return w.post(w.window, w.message, tag, 0) != FALSE;
  }

  const Kernel32& k;
  HANDLE port;
  HWND window;
  UINT message;
  unsigned session;
  NoticePoster post;
  DWORD owner;  // the thread of the object
  HANDLE stop = nullptr, recheck = nullptr, arrival = nullptr;
  OVERLAPPED waitOv{};
  Arrivals arrivals;
  std::atomic<bool> busy{false};   // bytes came or the host wrote since the last look
  std::atomic<bool> quiet{false};  // the watcher looks at the longer interval
  bool eventWait = false;  // the driver's event wait works (the watcher's)
  bool abandoned = false;  // a cancelled wait never ended (the watcher's)
};

namespace {

// A slim lock: it never makes a handle of its own, also when threads meet at it.
SRWLOCK g_watchersLock = SRWLOCK_INIT;
class WatchersLocked {
 public:
  WatchersLocked() { ::AcquireSRWLockExclusive(&g_watchersLock); }
  ~WatchersLocked() { ::ReleaseSRWLockExclusive(&g_watchersLock); }
  WatchersLocked(const WatchersLocked&) = delete;
  WatchersLocked& operator=(const WatchersLocked&) = delete;
};
std::vector<std::weak_ptr<WatchState>> g_watchers;

void Register(const std::shared_ptr<WatchState>& state) {
  WatchersLocked hold;
  g_watchers.erase(std::remove_if(g_watchers.begin(), g_watchers.end(),
                                  [](const std::weak_ptr<WatchState>& w) { return w.expired(); }),
                   g_watchers.end());
  g_watchers.push_back(state);
}

bool Stopping(const WatchState& w) { return ::WaitForSingleObject(w.stop, 0) == WAIT_OBJECT_0; }

// One look at the device: queue, line errors and, when `modem` is given, the
// modem lines against their last state. False: the device failed, and the
// host has been told.
bool Look(WatchState& w, DWORD* modem) {
  DWORD errors = 0;
  COMSTAT status{};
  if (!w.k.ClearCommError(w.port, &errors, &status)) {
    const DWORD error = w.k.GetLastError();
    if (!Stopping(w)) w.arrivals.Failed(error);
    return false;
  }
  w.arrivals.Cleared(errors);
  DWORD pins = 0;
  if (modem) {
    DWORD now = 0;
    if (w.k.GetCommModemStatus(w.port, &now)) {
      const DWORD changed = now ^ *modem;
      if (changed & MS_CTS_ON) pins |= EV_CTS;
      if (changed & MS_DSR_ON) pins |= EV_DSR;
      if (changed & MS_RLSD_ON) pins |= EV_RLSD;
      if ((changed & MS_RING_ON) && (now & MS_RING_ON)) pins |= EV_RING;
      *modem = now;
    }
  }
  if (pins) w.arrivals.PinsChanged(pins);
  if (status.cbInQue) {
    w.busy.store(true);
    ::SetEvent(w.arrival);
  }
  w.arrivals.Seen(status.cbInQue);
  return true;
}

// Ends a pending event wait and waits until the system is done with its
// OVERLAPPED. A driver that never ends it leaves the state abandoned: the
// watcher then keeps it for ever rather than free what the driver may
// still write to.
void CancelWait(WatchState& w) {
  w.k.SetCommMask(w.port, 0);
  w.k.CancelIoEx(w.port, &w.waitOv);
  if (::WaitForSingleObject(w.waitOv.hEvent, kCancelledWaitEnd) != WAIT_OBJECT_0) w.abandoned = true;
}

// The driver's communication-event wait. False: the driver has none, and
// the caller polls instead.
bool WaitForEvents(WatchState& w) {
  if (!w.k.SetCommMask(w.port, kWatchedEvents)) return false;
  for (;;) {
    DWORD events = 0;
    ::ResetEvent(w.waitOv.hEvent);
    if (!w.k.WaitCommEvent(w.port, &events, &w.waitOv)) {
      const DWORD error = w.k.GetLastError();
      if (error != ERROR_IO_PENDING) {
        if (!w.eventWait) return false;  // refused at once: not supported
        if (!Stopping(w)) w.arrivals.Failed(error);
        return true;
      }
      // A recheck asked by the host is a look without an event; a notice
      // the queue refused is posted again after a while.
      for (;;) {
        const HANDLE waits[] = {w.stop, w.waitOv.hEvent, w.recheck};
        const DWORD woke =
            ::WaitForMultipleObjects(3, waits, FALSE, w.arrivals.Retrying() ? kPollMs : INFINITE);
        if (woke == WAIT_OBJECT_0) {
          CancelWait(w);
          return true;
        }
        if (woke == WAIT_OBJECT_0 + 1) break;
        if (woke == WAIT_TIMEOUT) {
          w.arrivals.Retry();
          continue;
        }
        if (!Look(w, nullptr)) {
          CancelWait(w);
          return true;
        }
      }
      DWORD ignored = 0;
      if (!w.k.GetOverlappedResult(w.port, &w.waitOv, &ignored, FALSE)) {
        const DWORD failure = w.k.GetLastError();
        if (!Stopping(w)) w.arrivals.Failed(failure);
        return true;
      }
    }
    if (!w.eventWait && events == 0) return false;  // a wait that reports nothing
    if (!w.eventWait) w.arrivals.UseEventWait();
    w.eventWait = true;
    if (Stopping(w)) return true;
    const DWORD pins = events & (EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_RING);
    if (pins) w.arrivals.PinsChanged(pins);
    if (!Look(w, nullptr)) return true;
  }
}

void Poll(WatchState& w) {
  DWORD modem = 0;
  DWORD* watchModem = w.k.GetCommModemStatus(w.port, &modem) ? &modem : nullptr;
  ULONGLONG lastBusy = ::GetTickCount64();
  for (;;) {
    if (w.busy.exchange(false)) lastBusy = ::GetTickCount64();
    const bool quiet = ::GetTickCount64() - lastBusy >= kQuietAfterMs;
    w.quiet.store(quiet);
    const DWORD interval = quiet ? kQuietPollMs : kPollMs;
    const HANDLE waits[] = {w.stop, w.recheck};
    if (::WaitForMultipleObjects(2, waits, FALSE, interval) == WAIT_OBJECT_0) return;
    if (!Look(w, watchModem)) return;
  }
}

DWORD WINAPI Watch(void* parameter) {
  std::shared_ptr<WatchState> w;
  {
    auto* handed = static_cast<std::shared_ptr<WatchState>*>(parameter);
    w = std::move(*handed);
    delete handed;
  }
  if (!WaitForEvents(*w)) Poll(*w);
  if (w->abandoned) {
    // Never freed: the driver still owns the wait's OVERLAPPED and event.
    new std::shared_ptr<WatchState>(std::move(w));
    return 0;
  }
  // The device failed: the host must learn it, also through a full queue.
  while (!w->arrivals.FailurePosted() && ::WaitForSingleObject(w->stop, kPollMs) == WAIT_TIMEOUT)
    w->arrivals.Retry();
  return 0;
}

}  // namespace

PortDevice::PortDevice(const Kernel32& k, HWND window, UINT message, unsigned session,
                       NoticePoster post)
    : k_(k), window_(window), message_(message), session_(session), post_(post) {}

PortDevice::~PortDevice() { Close(); }

Failure PortDevice::Open(const std::string& path, const LineSettings& settings, long writeTimeout) {
  Close();
  HANDLE port = k_.CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (port == INVALID_HANDLE_VALUE) return CallFailed(k_.GetLastError(), L"CreateFile");
  port_ = port;
  Failure failure;
  if (!k_.SetupComm(port_, kQueueBytes, kQueueBytes)) failure = CallFailed(k_.GetLastError(), L"SetupComm");
  if (!failure.failed()) failure = Apply(settings);
  if (!failure.failed()) failure = SetWriteTimeout(writeTimeout);
  if (!failure.failed() && !k_.PurgeComm(port_, PURGE_RXCLEAR | PURGE_TXCLEAR))
    failure = CallFailed(k_.GetLastError(), L"PurgeComm");
  if (!failure.failed()) {
    try {
      transferEvent_ = NewEvent(true);
      watch_ = std::make_shared<WatchState>(k_, port_, window_, message_, session_, post_);
      Register(watch_);
      auto* handed = new std::shared_ptr<WatchState>(watch_);
      thread_ = ::CreateThread(nullptr, 0, Watch, handed, 0, nullptr);
      if (!thread_) {
        delete handed;
        failure = CallFailed(::GetLastError(), L"CreateThread");
      }
    } catch (const std::bad_alloc&) {
      failure = {ERROR_NOT_ENOUGH_MEMORY, L"CreateThread"};
    }
  }
  if (failure.failed()) Close();
  return failure;
}

void PortDevice::Close() {
  if (thread_) {
    ::SetEvent(watch_->stop);
    // Ends a pending event wait at once. A watcher still there after the
    // bound is left with the state it holds; closing the handle ends what
    // the driver still has pending.
    k_.SetCommMask(port_, 0);
    k_.CancelIoEx(port_, &watch_->waitOv);
    ::WaitForSingleObject(thread_, kWatcherEnd);
    CloseIf(thread_);
  }
  watch_.reset();
  if (port_ != INVALID_HANDLE_VALUE) {
    k_.CloseHandle(port_);
    port_ = INVALID_HANDLE_VALUE;
  }
  CloseIf(transferEvent_);
}

Failure PortDevice::Apply(const LineSettings& settings) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!k_.GetCommState(port_, &dcb)) return CallFailed(k_.GetLastError(), L"GetCommState");
  ApplyLineSettings(settings, dcb);
  if (!k_.SetCommState(port_, &dcb)) return CallFailed(k_.GetLastError(), L"SetCommState");
  return {};
}

Failure PortDevice::SetWriteTimeout(long writeTimeout) {
  // Reads return what is queued at once: waiting is the host thread's, on
  // the watcher's arrival signal, so a read never blocks the device.
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = MAXDWORD;
  t.WriteTotalTimeoutConstant = writeTimeout == kNoLimit ? 0 : static_cast<DWORD>(writeTimeout);
  if (!k_.SetCommTimeouts(port_, &t)) return CallFailed(k_.GetLastError(), L"SetCommTimeouts");
  writeTimeout_ = writeTimeout;
  return {};
}

Failure PortDevice::Queues(DWORD* in, DWORD* out) {
  DWORD errors = 0;
  COMSTAT status{};
  if (!k_.ClearCommError(port_, &errors, &status)) return CallFailed(k_.GetLastError(), L"ClearCommError");
  if (watch_) watch_->arrivals.Cleared(errors);
  if (in) *in = status.cbInQue;
  if (out) *out = status.cbOutQue;
  return {};
}

Failure PortDevice::Finish(HANDLE handle, OVERLAPPED& ov, DWORD bound, DWORD* count,
                           const wchar_t* call) {
  const DWORD error = k_.GetLastError();
  if (error != ERROR_IO_PENDING) return CallFailed(error, call);
  // Most transfers are done by the time they are looked at: then nothing
  // waits.
  // A transfer cancelled past its bound ran out of time.
  const auto failed = [&] {
    const DWORD failure = k_.GetLastError();
    return CallFailed(failure == ERROR_OPERATION_ABORTED ? ERROR_TIMEOUT : failure, L"GetOverlappedResult");
  };
  if (k_.GetOverlappedResult(handle, &ov, count, FALSE)) return {};
  if (k_.GetLastError() != ERROR_IO_INCOMPLETE) return failed();
  if (::WaitForSingleObject(ov.hEvent, bound) == WAIT_TIMEOUT) k_.CancelIoEx(handle, &ov);
  if (!k_.GetOverlappedResult(handle, &ov, count, TRUE)) return failed();
  return {};
}

Failure PortDevice::Read(std::string& into, DWORD most) {
  if (most == 0) return {};
  const size_t start = into.size();
  into.resize(start + most);
  // ReadFile and WriteFile reset the event as they start.
  OVERLAPPED ov{};
  ov.hEvent = transferEvent_;
  DWORD count = 0;
  Failure failure;
  if (!k_.ReadFile(port_, &into[start], most, &count, &ov))
    failure = Finish(port_, ov, kReadBound, &count, L"ReadFile");
  count = std::min(count, most);
  into.resize(start + (failure.failed() ? 0 : count));
  if (!failure.failed() && watch_) watch_->arrivals.Took(count);
  return failure;
}

Failure PortDevice::Write(const char* bytes, DWORD count, DWORD* written) {
  *written = 0;
  if (count == 0) return {};
  // An answer is likely to follow: the watcher looks often again, starting
  // now if it had slowed down.
  if (watch_) {
    watch_->busy.store(true);
    if (watch_->quiet.load()) ::SetEvent(watch_->recheck);
  }
  OVERLAPPED ov{};
  ov.hEvent = transferEvent_;
  DWORD done = 0;
  Failure failure;
  if (!k_.WriteFile(port_, bytes, count, &done, &ov)) {
    const DWORD bound =
        writeTimeout_ == kNoLimit ? INFINITE : static_cast<DWORD>(writeTimeout_) + kWriteMargin;
    failure = Finish(port_, ov, bound, &done, L"WriteFile");
  }
  *written = std::min(done, count);
  if (!failure.failed() && *written < count) failure = {ERROR_TIMEOUT, L"WriteFile"};
  return failure;
}

Failure PortDevice::Purge(DWORD flags) {
  // Bytes that come between the count and the purge go uncounted: the next
  // DataReceived then waits for as many more.
  DWORD queued = 0;
  if ((flags & PURGE_RXCLEAR) && watch_ && Queues(&queued, nullptr).failed()) queued = 0;
  if (!k_.PurgeComm(port_, flags)) return CallFailed(k_.GetLastError(), L"PurgeComm");
  if (watch_) watch_->arrivals.Took(queued);
  return {};
}

Failure PortDevice::ModemStatus(DWORD* status) {
  if (!k_.GetCommModemStatus(port_, status)) return CallFailed(k_.GetLastError(), L"GetCommModemStatus");
  return {};
}

Failure PortDevice::Escape(DWORD function) {
  if (!k_.EscapeCommFunction(port_, function)) return CallFailed(k_.GetLastError(), L"EscapeCommFunction");
  return {};
}

void PortDevice::WaitForArrival(DWORD ms) {
  if (watch_) ::WaitForSingleObject(watch_->arrival, ms);
  else ::Sleep(ms);
}

Arrivals& PortDevice::arrivals() { return watch_->arrivals; }

void PortDevice::StopThreadWatchers() {
  const DWORD thread = ::GetCurrentThreadId();
  WatchersLocked hold;
  for (const std::weak_ptr<WatchState>& weak : g_watchers)
    if (const std::shared_ptr<WatchState> w = weak.lock())
      if (w->owner == thread) ::SetEvent(w->stop);
}

}  // namespace vemblaric::serial_port
