// Network handles are event handles that this layer creates and owns: real,
// unique kernel handles that the system never hands out for a device while
// they exist. The map from handle to port is guarded by a lock; Winsock is
// started by the first network open and stopped when the last network handle
// closes, so a library that COM loads and unloads at any time does nothing
// of it while loading or unloading.
#include <winsock2.h>
#include <windows.h>

#include "transport/network_calls.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "transport/network_port.h"

namespace vemblaric::transport {
namespace {

class WinsockUsers {
 public:
  bool Acquire(DWORD& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (users_ == 0) {
      WSADATA data;
      const int started = ::WSAStartup(MAKEWORD(2, 2), &data);
      if (started != 0) {
        error = static_cast<DWORD>(started);
        return false;
      }
    }
    ++users_;
    return true;
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--users_ == 0) ::WSACleanup();
  }

 private:
  std::mutex mutex_;
  int users_ = 0;
};

// One open network handle. The socket closes before Winsock is released,
// and the handle's value is given back to the system last.
class OpenPort {
 public:
  explicit OpenPort(WinsockUsers& winsock) : winsock_(winsock) {}
  ~OpenPort() {
    port.reset();
    if (winsockHeld) winsock_.Release();
    if (handle) ::CloseHandle(handle);
  }
  OpenPort(const OpenPort&) = delete;
  OpenPort& operator=(const OpenPort&) = delete;

  bool winsockHeld = false;
  std::unique_ptr<NetworkPort> port;
  HANDLE handle = nullptr;

 private:
  WinsockUsers& winsock_;
};

struct Registry {
  std::mutex mutex;
  std::map<HANDLE, std::shared_ptr<OpenPort>> ports;
  std::atomic<size_t> count{0};
  WinsockUsers winsock;
};

// Never destroyed: nothing of it runs while the library unloads.
Registry& Ports() {
  static Registry* registry = new Registry;
  return *registry;
}

// The port of a network handle, or null for any other handle. Calls on
// device handles pay one atomic read while no network handle is open.
std::shared_ptr<OpenPort> Find(HANDLE h) {
  Registry& r = Ports();
  if (r.count.load() == 0) return nullptr;
  std::lock_guard<std::mutex> lock(r.mutex);
  const auto it = r.ports.find(h);
  return it == r.ports.end() ? nullptr : it->second;
}

template <typename Call>
BOOL Guarded(Call call) {
  try {
    return call();
  } catch (...) {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
}

HANDLE OpenNetwork(const NetworkName& name) {
  Registry& r = Ports();
  DWORD error = 0;
  {
    auto entry = std::make_shared<OpenPort>(r.winsock);
    if (r.winsock.Acquire(error)) {
      entry->winsockHeld = true;
      entry->port = NetworkPort::Connect(name, error);
      if (entry->port) {
        entry->handle = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!entry->handle) error = ::GetLastError();
      }
    }
    if (entry->handle) {
      std::lock_guard<std::mutex> lock(r.mutex);
      r.ports[entry->handle] = entry;
      ++r.count;
      return entry->handle;
    }
  }
  // Set after the failed entry is gone: releasing Winsock may change it.
  ::SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

}  // namespace

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE templateFile) {
  NetworkName parsed;
  const NameKind kind = name ? ParseNetworkName(name, parsed) : NameKind::kDevice;
  if (kind == NameKind::kDevice)
    return ::CreateFileA(name, access, share, security, disposition, flags, templateFile);
  if (kind == NameKind::kMalformed) {
    ::SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  try {
    return OpenNetwork(parsed);
  } catch (...) {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
}

BOOL WINAPI SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue) {
  // The queues of a network port are the socket's and grow as needed.
  if (Find(h)) return TRUE;
  return ::SetupComm(h, inQueue, outQueue);
}

BOOL WINAPI PurgeComm(HANDLE h, DWORD flags) {
  if (auto p = Find(h)) return Guarded([&] { return p->port->PurgeComm(flags); });
  return ::PurgeComm(h, flags);
}

BOOL WINAPI SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts) {
  if (auto p = Find(h)) return Guarded([&] { return p->port->SetCommTimeouts(timeouts); });
  return ::SetCommTimeouts(h, timeouts);
}

BOOL WINAPI GetCommState(HANDLE h, LPDCB dcb) {
  if (auto p = Find(h)) return Guarded([&] { return p->port->GetCommState(dcb); });
  return ::GetCommState(h, dcb);
}

BOOL WINAPI SetCommState(HANDLE h, LPDCB dcb) {
  if (auto p = Find(h)) return Guarded([&] { return p->port->SetCommState(dcb); });
  return ::SetCommState(h, dcb);
}

BOOL WINAPI CloseHandle(HANDLE h) {
  Registry& r = Ports();
  std::shared_ptr<OpenPort> closing;
  if (r.count.load() != 0) {
    std::lock_guard<std::mutex> lock(r.mutex);
    const auto it = r.ports.find(h);
    if (it != r.ports.end()) {
      closing = std::move(it->second);
      r.ports.erase(it);
      --r.count;
    }
  }
  // A call still running on another thread keeps the port until it returns;
  // one waiting on the server (a suspended write) is ended.
  if (closing) {
    if (closing->port) closing->port->Abandon();
    return TRUE;
  }
  return ::CloseHandle(h);
}

BOOL WINAPI ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat) {
  if (auto p = Find(h)) return Guarded([&] { return p->port->ClearCommError(errors, stat); });
  return ::ClearCommError(h, errors, stat);
}

BOOL WINAPI ReadFile(HANDLE h, LPVOID buffer, DWORD wanted, LPDWORD count, LPOVERLAPPED overlapped) {
  if (auto p = Find(h))
    return Guarded([&] { return p->port->ReadFile(buffer, wanted, count, overlapped); });
  return ::ReadFile(h, buffer, wanted, count, overlapped);
}

BOOL WINAPI WriteFile(HANDLE h, LPCVOID buffer, DWORD size, LPDWORD count, LPOVERLAPPED overlapped) {
  if (auto p = Find(h))
    return Guarded([&] { return p->port->WriteFile(buffer, size, count, overlapped); });
  return ::WriteFile(h, buffer, size, count, overlapped);
}

BOOL WINAPI GetOverlappedResult(HANDLE h, LPOVERLAPPED overlapped, LPDWORD count, BOOL wait) {
  if (Find(h)) {
    // Every network transfer has completed before its call returned.
    if (!overlapped || !count) {
      ::SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    *count = static_cast<DWORD>(overlapped->InternalHigh);
    return TRUE;
  }
  return ::GetOverlappedResult(h, overlapped, count, wait);
}

BOOL WINAPI GetCommModemStatus(HANDLE h, LPDWORD status) {
  if (auto p = Find(h)) return Guarded([&] { return p->port->GetCommModemStatus(status); });
  return ::GetCommModemStatus(h, status);
}

BOOL WINAPI EscapeCommFunction(HANDLE h, DWORD function) {
  if (auto p = Find(h)) return Guarded([&] { return p->port->EscapeCommFunction(function); });
  return ::EscapeCommFunction(h, function);
}

BOOL WINAPI SetCommMask(HANDLE h, DWORD mask) {
  if (Find(h)) return TRUE;
  return ::SetCommMask(h, mask);
}

BOOL WINAPI WaitCommEvent(HANDLE h, LPDWORD mask, LPOVERLAPPED overlapped) {
  // A network port raises no communication events; its callers poll
  // ClearCommError instead.
  if (Find(h)) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  return ::WaitCommEvent(h, mask, overlapped);
}

BOOL WINAPI CancelIoEx(HANDLE h, LPOVERLAPPED overlapped) {
  // Nothing of a network port is ever pending.
  if (Find(h)) return TRUE;
  return ::CancelIoEx(h, overlapped);
}

size_t OpenNetworkHandles() { return Ports().count.load(); }

size_t NetworkBytesHeld(HANDLE h) {
  auto p = Find(h);
  return p ? p->port->BytesHeld() : 0;
}

}  // namespace vemblaric::transport
