// A serial port on another machine, reached over TCP: raw bytes, or a Telnet
// session whose serial-port control option carries settings, lines, purges
// and breaks to the server's real port. It answers the kernel32 calls of the
// port layer with their documented results; every call completes before it
// returns, and every wait is bounded unless the caller's time-outs ask for
// none.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <memory>
#include <mutex>
#include <string>

#include "transport/network_name.h"
#include "transport/telnet_session.h"

namespace vemblaric::transport {

// Owns one socket.
class Socket {
 public:
  Socket() = default;
  explicit Socket(SOCKET s) : s_(s) {}
  ~Socket() { reset(); }
  Socket(Socket&& other) noexcept : s_(other.s_) { other.s_ = INVALID_SOCKET; }
  Socket& operator=(Socket&& other) noexcept {
    if (this != &other) {
      reset();
      s_ = other.s_;
      other.s_ = INVALID_SOCKET;
    }
    return *this;
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  SOCKET get() const { return s_; }
  void reset() {
    if (s_ != INVALID_SOCKET) ::closesocket(s_);
    s_ = INVALID_SOCKET;
  }

 private:
  SOCKET s_ = INVALID_SOCKET;
};

class NetworkPort {
 public:
  // Connects and, for the Telnet scheme, negotiates. On failure returns null
  // with the system's error code (a Winsock one for the network's faults).
  static std::unique_ptr<NetworkPort> Connect(const NetworkName& name, DWORD& error);

  // Each sets the last-error value when it returns FALSE.
  BOOL PurgeComm(DWORD flags);
  BOOL SetCommTimeouts(const COMMTIMEOUTS* timeouts);
  BOOL GetCommState(DCB* dcb);
  BOOL SetCommState(const DCB* dcb);
  BOOL ClearCommError(DWORD* errors, COMSTAT* stat);
  BOOL ReadFile(void* buffer, DWORD wanted, DWORD* count, OVERLAPPED* overlapped);
  BOOL WriteFile(const void* buffer, DWORD size, DWORD* count, OVERLAPPED* overlapped);
  BOOL GetCommModemStatus(DWORD* status);
  BOOL EscapeCommFunction(DWORD function);

 private:
  NetworkPort(Scheme scheme, Socket socket);

  // Offers the options and waits, bounded, for the server to take or refuse them.
  bool Negotiate(DWORD& error);

  bool Negotiating() const { return scheme_ == Scheme::kRfc2217; }
  bool ComPortAccepted() const { return session_.comPort() == ComPortOption::kAccepted; }
  size_t Buffered() const { return inbound_.size() - inboundStart_; }

  // Takes whatever the socket holds without waiting. False once the
  // connection has gone, with broken_ set.
  bool Drain();
  // Waits up to `ms` (INFINITE: no bound) for the socket to become readable.
  void WaitReadable(DWORD ms);
  // Sends all of `bytes`, waiting at most until `deadline` (0: no bound).
  // Returns how many went out; sets broken_ on a failed connection.
  size_t SendBytes(const std::string& bytes, ULONGLONG deadline);
  bool SendControl(const std::string& bytes);
  // Waits until the server has answered each command of `commands` once more
  // than `before` says, at most `ms`. False with the last error set otherwise.
  bool AwaitAnswers(const comport::Command* commands, const unsigned* before, size_t n, DWORD ms);
  BOOL Fail(DWORD error);
  BOOL FailBroken();

  std::mutex mutex_;
  const Scheme scheme_;
  Socket socket_;
  TelnetSession session_;
  std::string inbound_;  // received data not yet read, from inboundStart_
  size_t inboundStart_ = 0;
  DWORD broken_ = 0;  // the error that ended the connection, 0 while it lives
  DCB dcb_{};
  COMMTIMEOUTS timeouts_{};
};

}  // namespace vemblaric::transport
