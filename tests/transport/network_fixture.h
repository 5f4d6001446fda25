// Helpers for the network transport's tests: a port layer opened on a network
// name, and a scripted TCP server on 127.0.0.1 for what a real server does
// not do on request (refuse an option, reject a setting, go away).
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "support/nullmodem.h"

namespace vemblaric::testing {

inline std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// Opens slot `id` of `port` on `name`.
inline long OpenNamed(RealPort& port, short id, const std::string& name,
                      const std::wstring& settings = L"baud=9600 parity=N data=8 stop=1") {
  Bstr n(Wide(name).c_str()), s(settings.c_str());
  return port.port.CommOpen(id, n.get(), s.get());
}

// Bytes the slot's handle has queued, as ClearCommError reports them.
inline DWORD Queued(RealPort& port, short id) {
  DWORD errors = 0;
  COMSTAT stat{};
  if (!SystemKernel32().ClearCommError(port.Handle(id), &errors, &stat)) return 0;
  return stat.cbInQue;
}

inline bool WaitQueuedNet(RealPort& port, short id, DWORD bytes, DWORD timeoutMs = 10000) {
  const DWORD start = ::GetTickCount();
  while (Queued(port, id) < bytes) {
    if (::GetTickCount() - start >= timeoutMs) return false;
    ::Sleep(5);
  }
  return true;
}

class Winsock {
 public:
  Winsock() {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~Winsock() { ::WSACleanup(); }
};

// A server that accepts one connection on an ephemeral port of 127.0.0.1 and
// hands it to `serve` on its own thread; the connection is closed when
// `serve` returns.
class ScriptedServer {
 public:
  explicit ScriptedServer(std::function<void(SOCKET)> serve) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 1);
    int length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, serve] {
      SOCKET client = ::accept(listener_, nullptr, nullptr);
      if (client == INVALID_SOCKET) return;
      serve(client);
      ::closesocket(client);
    });
  }
  ~ScriptedServer() {
    ::closesocket(listener_);  // ends an accept still waiting
    thread_.join();
  }
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  std::string Address(const char* scheme) const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_);
  }

 private:
  Winsock winsock_;
  SOCKET listener_ = INVALID_SOCKET;
  unsigned short port_ = 0;
  std::thread thread_;
};

// Appends what arrives within `ms` to `out`: how many bytes came, 0 for
// none, -1 once the peer has closed.
inline int ReceiveSome(SOCKET s, DWORD ms, std::string& out) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval tv{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000 * 1000)};
  if (::select(0, &readable, nullptr, nullptr, &tv) <= 0) return 0;
  char buffer[4096];
  const int n = ::recv(s, buffer, sizeof buffer, 0);
  if (n <= 0) return -1;
  out.append(buffer, static_cast<size_t>(n));
  return n;
}

// Sends `bytes` in pieces, each once the socket takes more, and gives up
// when it has taken nothing for 10 s or the peer has gone: a server flooding
// a client that has stopped reading must not outlive the test.
inline void SendText(SOCKET s, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(s, &writable);
    timeval tv{10, 0};
    if (::select(0, nullptr, &writable, nullptr, &tv) <= 0) return;
    const int n = ::send(s, bytes.data() + sent,
                         static_cast<int>(std::min<size_t>(bytes.size() - sent, 4096)), 0);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

}  // namespace vemblaric::testing
