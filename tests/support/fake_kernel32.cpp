#include "support/fake_kernel32.h"

#include <dbt.h>

#include <cstring>
#include <stdexcept>

namespace vemblaric::testing {
namespace {

FakeKernel32* g_current = nullptr;
// A port's watcher thread calls the fake beside the test's thread: the script
// and the record are taken under one lock, and each thread has its own
// last-error value, as with the system.
// A slim lock: a mutex of the thread runtime makes a handle the first time
// two threads meet at it, which the leak checks would count.
SRWLOCK g_lock = SRWLOCK_INIT;
class Locked {
 public:
  Locked() { ::AcquireSRWLockExclusive(&g_lock); }
  ~Locked() { ::ReleaseSRWLockExclusive(&g_lock); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};
thread_local DWORD t_lastError = 0;
// GUID_DEVINTERFACE_COMPORT
constexpr GUID kCommPortInterface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

FakeAnswer Answer(FakeCall call) {
  FakeAnswer answer;
  {
    Locked hold;
    answer = FakeKernel32::Current().Take(call);
  }
  if (answer.during) answer.during();
  t_lastError = answer.error;
  return answer;
}

HANDLE WINAPI FakeCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                              DWORD disposition, DWORD flags, HANDLE templ) {
  FakeCall c{"CreateFileA"};
  c.text = name ? name : "";
  c.arg1 = access, c.arg2 = share, c.arg3 = disposition, c.arg4 = flags;
  c.hasSecurity = sa != nullptr, c.hasTemplate = templ != nullptr;
  FakeAnswer a = Answer(c);
  return a.ok ? a.handle : INVALID_HANDLE_VALUE;
}
BOOL WINAPI FakeSetupComm(HANDLE h, DWORD in, DWORD out) {
  FakeCall c{"SetupComm", h};
  c.arg1 = in, c.arg2 = out;
  return Answer(c).ok;
}
BOOL WINAPI FakePurgeComm(HANDLE h, DWORD flags) {
  FakeCall c{"PurgeComm", h};
  c.arg1 = flags;
  return Answer(c).ok;
}
BOOL WINAPI FakeSetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
  FakeCall c{"SetCommTimeouts", h};
  c.timeouts = *t;
  return Answer(c).ok;
}
BOOL WINAPI FakeGetCommState(HANDLE h, LPDCB dcb) {
  FakeCall c{"GetCommState", h};
  FakeAnswer a = Answer(c);
  if (a.ok) {
    std::memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = sizeof *dcb;
    dcb->BaudRate = 9600;
    dcb->ByteSize = 8;
  }
  return a.ok;
}
BOOL WINAPI FakeBuildCommDCBA(LPCSTR settings, LPDCB dcb) {
  FakeCall c{"BuildCommDCBA"};
  c.text = settings ? settings : "";
  FakeAnswer a = Answer(c);
  if (!a.ok) return FALSE;
  const BOOL parsed = ::BuildCommDCBA(settings, dcb);
  if (!parsed) t_lastError = ::GetLastError();
  return parsed;
}
BOOL WINAPI FakeSetCommState(HANDLE h, LPDCB dcb) {
  FakeCall c{"SetCommState", h};
  if (dcb) c.dcb = *dcb;
  return Answer(c).ok;
}
BOOL WINAPI FakeCloseHandle(HANDLE h) { return Answer(FakeCall{"CloseHandle", h}).ok; }
BOOL WINAPI FakeClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat) {
  FakeAnswer a = Answer(FakeCall{"ClearCommError", h});
  if (a.ok || a.errors) {
    if (errors) *errors = a.errors;
    if (stat) stat->cbInQue = a.inQueue;
  }
  return a.ok;
}
BOOL WINAPI FakeReadFile(HANDLE h, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED ov) {
  FakeCall c{"ReadFile", h};
  c.arg1 = count, c.overlapped = ov;
  FakeAnswer a = Answer(c);
  if (a.data.size() > count) throw std::logic_error("fake ReadFile scripted beyond the request");
  std::memcpy(buffer, a.data.data(), a.data.size());
  *done = a.count;
  return a.ok;
}
BOOL WINAPI FakeWriteFile(HANDLE h, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED ov) {
  FakeCall c{"WriteFile", h};
  c.text.assign(static_cast<const char*>(buffer), count);
  c.arg1 = count, c.overlapped = ov;
  FakeAnswer a = Answer(c);
  *done = a.count;
  return a.ok;
}
BOOL WINAPI FakeGetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD done, BOOL wait) {
  FakeCall c{"GetOverlappedResult", h};
  c.overlapped = ov, c.wait = wait;
  FakeAnswer a = Answer(c);
  *done = a.count;
  return a.ok;
}
BOOL WINAPI FakeGetCommModemStatus(HANDLE h, LPDWORD status) {
  FakeAnswer a = Answer(FakeCall{"GetCommModemStatus", h});
  if (a.ok) *status = a.modem;
  return a.ok;
}
BOOL WINAPI FakeEscapeCommFunction(HANDLE h, DWORD code) {
  FakeCall c{"EscapeCommFunction", h};
  c.arg1 = code;
  return Answer(c).ok;
}
DWORD WINAPI FakeGetLastError() { return t_lastError; }
DWORD WINAPI FakeFormatMessageA(DWORD flags, LPCVOID source, DWORD id, DWORD lang, LPSTR buffer,
                                DWORD size, va_list* args) {
  FakeKernel32::Current().lastFormatFlags_ = flags;
  return ::FormatMessageA(flags, source, id, lang, buffer, size, args);
}
DWORD WINAPI FakeSleepEx(DWORD ms, BOOL alertable) {
  FakeCall c{"SleepEx"};
  c.arg1 = ms, c.arg2 = static_cast<DWORD>(alertable);
  Answer(c);
  return 0;
}

BOOL WINAPI FakeSetCommMask(HANDLE h, DWORD mask) {
  FakeCall c{"SetCommMask", h};
  c.arg1 = mask;
  return Answer(c).ok;
}
// Unscripted, the wait is not supported (see the constructor), so a port's
// watcher thread that meets the fake turns to polling the queue.
BOOL WINAPI FakeWaitCommEvent(HANDLE h, LPDWORD mask, LPOVERLAPPED ov) {
  FakeCall c{"WaitCommEvent", h};
  c.overlapped = ov;
  FakeAnswer a = Answer(c);
  if (mask) *mask = a.modem;
  return a.ok;
}
BOOL WINAPI FakeCancelIoEx(HANDLE h, LPOVERLAPPED ov) {
  FakeCall c{"CancelIoEx", h};
  c.overlapped = ov;
  return Answer(c).ok;
}

// Records the window and the filter's class (text: "ports" for the
// communication-port interface, else "other").
HDEVNOTIFY WINAPI FakeRegisterDeviceNotificationW(HANDLE window, LPVOID filter, DWORD flags) {
  FakeCall c{"RegisterDeviceNotificationW", window};
  c.arg1 = flags;
  const auto* f = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(filter);
  c.arg2 = f ? f->dbcc_devicetype : 0;
  c.text = f && ::IsEqualGUID(f->dbcc_classguid, kCommPortInterface) ? "ports" : "other";
  FakeAnswer a = Answer(c);
  return a.ok ? static_cast<HDEVNOTIFY>(a.handle ? a.handle : reinterpret_cast<HANDLE>(0x5EE)) : nullptr;
}
BOOL WINAPI FakeUnregisterDeviceNotification(HDEVNOTIFY h) {
  return Answer(FakeCall{"UnregisterDeviceNotification", h}).ok;
}

const Kernel32 kFakeTable = {
    FakeCreateFileA,     FakeSetupComm,        FakePurgeComm,      FakeSetCommTimeouts,
    FakeGetCommState,    FakeBuildCommDCBA,    FakeSetCommState,   FakeCloseHandle,
    FakeClearCommError,  FakeReadFile,         FakeWriteFile,      FakeGetOverlappedResult,
    FakeGetCommModemStatus, FakeEscapeCommFunction, FakeGetLastError, FakeFormatMessageA,
    FakeSleepEx,         FakeSetCommMask,      FakeWaitCommEvent,  FakeCancelIoEx,
    FakeRegisterDeviceNotificationW, FakeUnregisterDeviceNotification,
};

bool TakesHandle(const std::string& function) {
  return function != "CreateFileA" && function != "BuildCommDCBA" && function != "SleepEx";
}

}  // namespace

FakeKernel32::FakeKernel32() : previous_(g_current) {
  g_current = this;
  // A driver without the communication-event wait, unless a test scripts one.
  FakeAnswer noWait;
  noWait.ok = FALSE;
  noWait.error = ERROR_NOT_SUPPORTED;
  defaults_["WaitCommEvent"] = noWait;
}
FakeKernel32::~FakeKernel32() { g_current = previous_; }

const Kernel32& FakeKernel32::table() const { return kFakeTable; }

void FakeKernel32::SetThreadLastError(DWORD error) { t_lastError = error; }

FakeKernel32& FakeKernel32::Current() {
  if (!g_current) throw std::logic_error("no FakeKernel32 is alive");
  return *g_current;
}

FakeKernel32& FakeKernel32::Next(const std::string& function, FakeAnswer answer) {
  Locked hold;
  queued_[function].push_back(std::move(answer));
  return *this;
}

FakeKernel32& FakeKernel32::Fail(const std::string& function, DWORD error) {
  FakeAnswer a;
  a.ok = FALSE;
  a.error = error;
  return Next(function, a);
}

void FakeKernel32::Default(const std::string& function, FakeAnswer answer) {
  Locked hold;
  defaults_[function] = std::move(answer);
}

FakeAnswer FakeKernel32::Take(const FakeCall& call) {
  calls_.push_back(call);
  FakeAnswer answer;
  auto q = queued_.find(call.function);
  if (q != queued_.end() && !q->second.empty()) {
    answer = std::move(q->second.front());
    q->second.pop_front();
  } else if (auto d = defaults_.find(call.function); d != defaults_.end()) {
    answer = d->second;
  } else if (TakesHandle(call.function) &&
             (call.handle == nullptr || call.handle == INVALID_HANDLE_VALUE)) {
    // As the system does: no device behind a null or invalid handle.
    answer.ok = FALSE;
    answer.error = ERROR_INVALID_HANDLE;
  }
  if (call.function == "CreateFileA" && answer.ok && !answer.handle)
    answer.handle = reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(nextHandle_++));
  return answer;
}

void FakeKernel32::ClearCalls() {
  Locked hold;
  calls_.clear();
}

std::vector<std::string> FakeKernel32::names() const {
  Locked hold;
  std::vector<std::string> out;
  for (const FakeCall& c : calls_) out.push_back(c.function);
  return out;
}

std::vector<FakeCall> FakeKernel32::named(const std::string& function) const {
  Locked hold;
  std::vector<FakeCall> out;
  for (const FakeCall& c : calls_)
    if (c.function == function) out.push_back(c);
  return out;
}

}  // namespace vemblaric::testing
