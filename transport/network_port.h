// A serial port on another machine, reached over TCP: raw bytes, or a Telnet
// session whose serial-port control option carries settings, lines, purges
// and breaks to the server's real port. It answers the kernel32 calls of the
// port layer with their documented results; every call completes before it
// returns, and every wait is bounded unless the caller's time-outs ask for
// none.
//
// Threads: every call holds the port's lock while it runs, so the session,
// the buffers and the settings change under one lock only. The one exception
// is a write the server has suspended: it lets the lock go while it waits,
// so that reads, ClearCommError and the settings go on meanwhile, and looks
// again under the lock at least every kSuspendedSliceMs (a resume another
// call took is seen then). Abandon may run on any thread at any time: it
// only shuts the socket down, which ends such a wait.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

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

  // The handle is closed: a call still waiting on the server returns.
  void Abandon();
  // What the port holds in memory for the server's bytes (for tests: it
  // stays below the data cap plus a small constant whatever a server sends).
  size_t BytesHeld();

 private:
  NetworkPort(Scheme scheme, Socket socket);

  // Offers the options and waits, bounded, for the server to take or refuse them.
  bool Negotiate(DWORD& error);

  bool Negotiating() const { return scheme_ == Scheme::kRfc2217; }
  bool ComPortAccepted() const { return session_.comPort() == ComPortOption::kAccepted; }
  size_t Buffered() const { return inbound_.size() - inboundStart_; }

  // Takes whatever the socket holds without waiting, up to the data cap;
  // past it, acts on the protocol of what the socket holds (LookAhead).
  // False once the connection has gone, with broken_ set.
  bool Drain();
  // Passes `count` bytes taken from the socket through the session (or as
  // they are, for raw bytes); data goes to inbound_ unless `keepData` is false.
  bool Take(const char* bytes, size_t count, bool keepData);
  bool LookAhead();
  // Throws away the data of the bytes LookAhead has acted on.
  bool DropLookedAhead();
  // Waits up to `ms` (INFINITE: no bound) for the socket to become readable.
  void WaitReadable(DWORD ms);
  // Waits up to `ms` for more from the server. With data left unread in the
  // socket, the socket always reads as readable, so this then only pauses.
  void WaitForServer(DWORD ms, bool dataLeftInSocket);
  bool DataLeftInSocket() const;
  // Sends all of `bytes`, waiting at most until `deadline` (0: no bound).
  // Returns how many went out; sets broken_ on a failed connection.
  size_t SendBytes(const std::string& bytes, ULONGLONG deadline);
  // Sends the second half of a doubled 255 that a write's deadline cut off,
  // if one is owed; false if it could not go out by `deadline`.
  bool SendOwedByte(ULONGLONG deadline);
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
  std::vector<char> inbound_;  // received data not yet read, from inboundStart_
  size_t inboundStart_ = 0;
  std::string chunkData_, replies_;  // one chunk's data and answers, on their way
  std::vector<char> lookAhead_;      // what LookAhead peeks at
  bool owesIac_ = false;  // a write ended between the two bytes of a doubled 255
  DWORD broken_ = 0;  // the error that ended the connection, 0 while it lives
  DCB dcb_{};
  COMMTIMEOUTS timeouts_{};
};

}  // namespace vemblaric::transport
