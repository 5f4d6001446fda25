#include "transport/network_port.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>

namespace vemblaric::transport {
namespace {

// How long the server has to take up the serial-port control option, to
// answer a setting or a purge, and to take a command we send it. Servers
// answer within milliseconds; the bounds only keep a silent one from hanging
// the caller.
constexpr DWORD kNegotiationMs = 2000;
constexpr DWORD kAnswerMs = 2000;
constexpr DWORD kControlSendMs = 2000;
constexpr size_t kChunkBytes = 4096;
// Past this much unread data the rest stays in the socket, where TCP's own
// flow control holds the server back, as a full queue holds back a device.
constexpr size_t kMostBuffered = 1 << 20;
// Room past the cap for the last chunk and for what has been read but not yet
// dropped from the buffer's front, so that the front moves once per this much
// read rather than once per chunk.
constexpr size_t kBufferSlack = 32 * 1024;
// The server's protocol goes on behind that data: a resume, a setting's
// answer, a purge's. Taking the data would grow the buffer without bound and
// dropping it would lose it, so the port peeks at the socket instead and acts
// on the protocol in this much of what waits there, leaving the data to be
// taken when the reader gets to it. Protocol further behind (in the socket
// past this, or still in the server's own buffers) waits for the reader, as
// data does: no bounded client can see past it.
constexpr size_t kLookAheadBytes = 64 * 1024;
// How long a suspended write waits at most before it looks again under the
// lock, in case another call took the server's resume.
constexpr DWORD kSuspendedSliceMs = 20;
// How often a wait looks again while data waits unread in the socket (a
// select would return at once for it).
constexpr DWORD kStalledPollMs = 5;
// A server that breaks the protocol has the connection ended, and the calls
// then fail with this code, whose text ("The data is invalid.") says why;
// Winsock's own code for an aborted connection (10053) has none under Wine.
constexpr DWORD kProtocolFailure = ERROR_INVALID_DATA;
static_assert(kMostBuffered + kBufferSlack + kLookAheadBytes <= 0x7FFFFFFF,
              "the buffers' sizes go to recv as int and to COMSTAT as DWORD");

ULONGLONG Now() { return ::GetTickCount64(); }

DWORD Remaining(ULONGLONG deadline) {
  const ULONGLONG now = Now();
  return now >= deadline ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, INFINITE - 1));
}

timeval Timeval(DWORD ms) {
  timeval tv{};
  tv.tv_sec = static_cast<long>(ms / 1000);
  tv.tv_usec = static_cast<long>((ms % 1000) * 1000);
  return tv;
}

DWORD LastSocketError() {
  const int e = ::WSAGetLastError();
  return e ? static_cast<DWORD>(e) : ERROR_BROKEN_PIPE;
}

struct AddressList {
  addrinfo* first = nullptr;
  AddressList() = default;
  AddressList(const AddressList&) = delete;
  AddressList& operator=(const AddressList&) = delete;
  ~AddressList() {
    if (first) ::freeaddrinfo(first);
  }
};

// Waits for a non-blocking connect; 0 when it is made, else the reason.
DWORD AwaitConnect(SOCKET s, ULONGLONG deadline) {
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(s, &writable);
  FD_SET(s, &failed);
  timeval tv = Timeval(Remaining(deadline));
  const int ready = ::select(0, nullptr, &writable, &failed, &tv);
  if (ready == 0) return WSAETIMEDOUT;
  if (ready < 0) return LastSocketError();
  int soError = 0;
  int length = sizeof soError;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &length) != 0)
    return LastSocketError();
  if (soError != 0) return static_cast<DWORD>(soError);
  return FD_ISSET(s, &writable) ? 0 : static_cast<DWORD>(WSAECONNREFUSED);
}

DWORD StopSizeCode(BYTE stopBits) {
  switch (stopBits) {
    case ONE5STOPBITS: return 3;
    case TWOSTOPBITS: return 2;
    default: return 1;
  }
}

uint8_t FlowControlCode(const DCB& dcb) {
  if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
    return comport::kHardwareFlowControl;
  if (dcb.fOutX || dcb.fInX) return comport::kXonXoffFlowControl;
  return comport::kNoFlowControl;
}

std::string Byte(DWORD value) { return std::string(1, static_cast<char>(value & 0xFF)); }

std::string BaudValue(DWORD baud) {
  return {static_cast<char>(baud >> 24), static_cast<char>(baud >> 16),
          static_cast<char>(baud >> 8), static_cast<char>(baud)};
}

// How many bytes of `source` went out whole when `sent` bytes of its escaped
// form did.
DWORD SourceBytesSent(const char* source, DWORD size, size_t sent) {
  size_t used = 0;
  DWORD whole = 0;
  for (; whole < size; ++whole) {
    const size_t width = static_cast<uint8_t>(source[whole]) == telnet::kIac ? 2 : 1;
    if (used + width > sent) break;
    used += width;
  }
  return whole;
}

// Whether the first `sent` bytes of the escaped form of `source` end between
// the two bytes of a doubled 255.
bool EndsInsidePair(const char* source, DWORD size, size_t sent) {
  size_t used = 0;
  for (DWORD i = 0; i < size && used < sent; ++i)
    used += static_cast<uint8_t>(source[i]) == telnet::kIac ? 2 : 1;
  return used > sent;
}

void Complete(OVERLAPPED* overlapped, DWORD count) {
  if (!overlapped) return;
  overlapped->Internal = 0;
  overlapped->InternalHigh = count;
  if (overlapped->hEvent) ::SetEvent(overlapped->hEvent);
}

}  // namespace

NetworkPort::NetworkPort(Scheme scheme, Socket socket) : scheme_(scheme), socket_(std::move(socket)) {
  chunkData_.reserve(kChunkBytes);
  dcb_.DCBlength = sizeof(DCB);
  dcb_.BaudRate = CBR_9600;
  dcb_.fBinary = TRUE;
  dcb_.fDtrControl = DTR_CONTROL_ENABLE;
  dcb_.fRtsControl = RTS_CONTROL_ENABLE;
  dcb_.ByteSize = 8;
  dcb_.Parity = NOPARITY;
  dcb_.StopBits = ONESTOPBIT;
  dcb_.XonChar = 0x11;
  dcb_.XoffChar = 0x13;
}

std::unique_ptr<NetworkPort> NetworkPort::Connect(const NetworkName& name, DWORD& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  AddressList found;
  const int resolved = ::getaddrinfo(name.host.c_str(), name.port.c_str(), &hints, &found.first);
  if (resolved != 0) {
    error = static_cast<DWORD>(resolved);
    return nullptr;
  }
  // One time-out for the whole connect, whatever the number of addresses tried.
  const ULONGLONG deadline = Now() + name.timeoutMs;
  error = WSAETIMEDOUT;
  for (addrinfo* a = found.first; a && Remaining(deadline) > 0; a = a->ai_next) {
    Socket s(::socket(a->ai_family, a->ai_socktype, a->ai_protocol));
    if (s.get() == INVALID_SOCKET) {
      error = LastSocketError();
      continue;
    }
    u_long nonBlocking = 1;
    if (::ioctlsocket(s.get(), FIONBIO, &nonBlocking) != 0) {
      error = LastSocketError();
      continue;
    }
    if (::connect(s.get(), a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
      const DWORD e = LastSocketError();
      if (e != WSAEWOULDBLOCK) {
        error = e;
        continue;
      }
      error = AwaitConnect(s.get(), deadline);
      if (error != 0) continue;
    }
    // Short writes (a command, a line) go out at once instead of waiting for more.
    BOOL noDelay = TRUE;
    ::setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                 sizeof noDelay);
    std::unique_ptr<NetworkPort> port(new NetworkPort(name.scheme, std::move(s)));
    if (port->Negotiating() && !port->Negotiate(error)) return nullptr;
    error = 0;
    return port;
  }
  return nullptr;
}

bool NetworkPort::Negotiate(DWORD& error) {
  if (!SendControl(session_.Greeting())) {
    error = broken_;
    return false;
  }
  const ULONGLONG deadline = Now() + kNegotiationMs;
  // A server that says nothing of the option within the bound is taken to
  // refuse it: the port then carries bytes, and settings fail visibly.
  while (session_.comPort() == ComPortOption::kAsked && Remaining(deadline) > 0) {
    WaitForServer(Remaining(deadline), DataLeftInSocket());
    if (!Drain()) {
      error = broken_;
      return false;
    }
  }
  if (ComPortAccepted()) {
    // Line faults are not notified unless asked for; modem lines are asked
    // for explicitly so that every server reports them from now on.
    const std::string masks =
        TelnetSession::ComPortCommand(comport::kSetLineStateMask, comport::kLineFaults) +
        TelnetSession::ComPortCommand(comport::kSetModemStateMask, uint8_t{0xFF});
    if (!SendControl(masks)) {
      error = broken_;
      return false;
    }
  }
  return true;
}

BOOL NetworkPort::Fail(DWORD error) {
  ::SetLastError(error);
  return FALSE;
}

BOOL NetworkPort::FailBroken() { return Fail(broken_ ? broken_ : ERROR_BROKEN_PIPE); }

bool NetworkPort::Drain() {
  if (broken_) return false;
  char chunk[kChunkBytes];
  for (;;) {
    if (Buffered() >= kMostBuffered) return !Negotiating() || LookAhead();
    const int got = ::recv(socket_.get(), chunk, static_cast<int>(sizeof chunk), 0);
    if (got > 0) {
      if (!Take(chunk, static_cast<size_t>(got), true)) return false;
      continue;
    }
    if (got == 0) {
      broken_ = ERROR_BROKEN_PIPE;
      return false;
    }
    const DWORD e = LastSocketError();
    if (e == WSAEWOULDBLOCK) return true;
    if (e == WSAEINTR) continue;
    broken_ = e;
    return false;
  }
}

bool NetworkPort::Take(const char* bytes, size_t count, bool keepData) {
  const char* data = bytes;
  size_t size = count;
  if (Negotiating()) {
    chunkData_.clear();
    replies_.clear();
    session_.Receive(bytes, count, chunkData_, replies_);
    if (session_.failed()) {
      broken_ = kProtocolFailure;
      return false;
    }
    if (!replies_.empty() && !SendControl(replies_)) return false;
    data = chunkData_.data();
    size = chunkData_.size();
  }
  if (!keepData || size == 0) return true;
  // The buffer grows by doubling up to the cap and its slack, no further:
  // what has been read is dropped from its front first.
  if (inbound_.size() + size > inbound_.capacity() && inboundStart_ > 0) {
    inbound_.erase(inbound_.begin(), inbound_.begin() + static_cast<std::ptrdiff_t>(inboundStart_));
    inboundStart_ = 0;
  }
  if (inbound_.size() + size > inbound_.capacity())
    inbound_.reserve(std::min(std::max(inbound_.size() + size, 2 * inbound_.capacity()),
                              kMostBuffered + kBufferSlack));
  inbound_.insert(inbound_.end(), data, data + size);
  return true;
}

bool NetworkPort::LookAhead() {
  const size_t seen = session_.lookedAhead();
  if (seen >= kLookAheadBytes) return true;
  lookAhead_.resize(kLookAheadBytes);
  const int got = ::recv(socket_.get(), lookAhead_.data(), static_cast<int>(kLookAheadBytes), MSG_PEEK);
  if (got > 0) {
    if (static_cast<size_t>(got) <= seen) return true;
    replies_.clear();
    session_.LookAhead(lookAhead_.data() + seen, static_cast<size_t>(got) - seen, replies_);
    if (session_.failed()) {
      broken_ = kProtocolFailure;
      return false;
    }
    return replies_.empty() || SendControl(replies_);
  }
  if (got == 0) {
    broken_ = ERROR_BROKEN_PIPE;
    return false;
  }
  const DWORD e = LastSocketError();
  if (e == WSAEWOULDBLOCK || e == WSAEINTR) return true;
  broken_ = e;
  return false;
}

bool NetworkPort::DropLookedAhead() {
  char chunk[kChunkBytes];
  while (session_.lookedAhead() > 0 && !broken_) {
    const int wanted = static_cast<int>(std::min(session_.lookedAhead(), sizeof chunk));
    const int got = ::recv(socket_.get(), chunk, wanted, 0);
    if (got <= 0) {
      // The bytes were there when they were peeked at; only a failed
      // connection takes them away.
      broken_ = got == 0 ? ERROR_BROKEN_PIPE : LastSocketError();
      return false;
    }
    if (!Take(chunk, static_cast<size_t>(got), false)) return false;
  }
  return !broken_;
}

void NetworkPort::WaitReadable(DWORD ms) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket_.get(), &readable);
  timeval tv = Timeval(ms);
  ::select(0, &readable, nullptr, nullptr, ms == INFINITE ? nullptr : &tv);
}

bool NetworkPort::DataLeftInSocket() const {
  if (Buffered() < kMostBuffered) return false;
  u_long waiting = 0;
  return ::ioctlsocket(socket_.get(), FIONREAD, &waiting) == 0 && waiting > 0;
}

void NetworkPort::WaitForServer(DWORD ms, bool dataLeftInSocket) {
  if (dataLeftInSocket) ::Sleep(std::min(ms, kStalledPollMs));
  else WaitReadable(ms);
}

void NetworkPort::Abandon() { ::shutdown(socket_.get(), SD_BOTH); }

size_t NetworkPort::BytesHeld() {
  std::lock_guard<std::mutex> lock(mutex_);
  return inbound_.capacity() + lookAhead_.capacity() + chunkData_.capacity() +
         replies_.capacity() + session_.BytesHeld();
}

size_t NetworkPort::SendBytes(const std::string& bytes, ULONGLONG deadline) {
  size_t sent = 0;
  while (sent < bytes.size() && !broken_) {
    const int chunk = static_cast<int>(std::min<size_t>(bytes.size() - sent, 1 << 20));
    const int n = ::send(socket_.get(), bytes.data() + sent, chunk, 0);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    const DWORD e = LastSocketError();
    if (e != WSAEWOULDBLOCK) {
      broken_ = e;
      break;
    }
    if (deadline && Remaining(deadline) == 0) break;
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(socket_.get(), &writable);
    timeval tv = Timeval(deadline ? Remaining(deadline) : 0);
    ::select(0, nullptr, &writable, nullptr, deadline ? &tv : nullptr);
  }
  return sent;
}

bool NetworkPort::SendOwedByte(ULONGLONG deadline) {
  if (!owesIac_) return true;
  owesIac_ = SendBytes(std::string(1, static_cast<char>(telnet::kIac)), deadline) == 0;
  return !owesIac_;
}

bool NetworkPort::SendControl(const std::string& bytes) {
  const ULONGLONG deadline = Now() + kControlSendMs;
  if (SendOwedByte(deadline) && SendBytes(bytes, deadline) == bytes.size()) return true;
  if (!broken_) broken_ = WSAETIMEDOUT;  // a server that takes no more is as good as gone
  return false;
}

bool NetworkPort::AwaitAnswers(const comport::Command* commands, const unsigned* before, size_t n,
                               DWORD ms) {
  const ULONGLONG deadline = Now() + ms;
  for (;;) {
    if (!Drain()) {
      FailBroken();
      return false;
    }
    bool all = true;
    for (size_t i = 0; i < n; ++i)
      if (session_.answer(commands[i]).count <= before[i]) all = false;
    if (all) return true;
    if (Remaining(deadline) == 0) {
      Fail(ERROR_TIMEOUT);
      return false;
    }
    WaitForServer(Remaining(deadline), DataLeftInSocket());
  }
}

BOOL NetworkPort::PurgeComm(DWORD flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool receive = (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) != 0;
  const bool transmit = (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0;
  Drain();
  if (receive) {
    inbound_.clear();
    inboundStart_ = 0;
  }
  if (broken_) return FailBroken();
  if (Negotiating() && ComPortAccepted() && (receive || transmit)) {
    const uint8_t which = receive && transmit ? comport::kPurgeBoth
                          : receive           ? comport::kPurgeReceive
                                              : comport::kPurgeTransmit;
    const comport::Command purge = comport::kPurgeData;
    const unsigned before = session_.answer(purge).count;
    if (!SendControl(TelnetSession::ComPortCommand(purge, which))) return FailBroken();
    if (!AwaitAnswers(&purge, &before, 1, kAnswerMs)) return FALSE;
    // What arrived before the server's answer was on its way before the purge,
    // and so was what waits in the socket before the answer (LookAhead saw
    // the answer there; what it saw after the answer goes too, a purge's
    // usual race with arriving data).
    if (receive) {
      inbound_.clear();
      inboundStart_ = 0;
      if (!DropLookedAhead()) return FailBroken();
    }
  }
  return TRUE;
}

BOOL NetworkPort::SetCommTimeouts(const COMMTIMEOUTS* timeouts) {
  if (!timeouts) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> lock(mutex_);
  timeouts_ = *timeouts;
  return TRUE;
}

BOOL NetworkPort::GetCommState(DCB* dcb) {
  if (!dcb) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> lock(mutex_);
  *dcb = dcb_;
  return TRUE;
}

BOOL NetworkPort::SetCommState(const DCB* dcb) {
  if (!dcb) return Fail(ERROR_INVALID_PARAMETER);
  if (dcb->BaudRate == 0 || dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > SPACEPARITY ||
      dcb->StopBits > TWOSTOPBITS)
    return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> lock(mutex_);
  if (Negotiating()) {
    // The settings are the server's port's: without the option they cannot
    // reach it, and saying so beats a port that silently runs at others.
    if (!ComPortAccepted()) return Fail(ERROR_NOT_SUPPORTED);
    if (broken_) return FailBroken();
    constexpr size_t kSettings = 5;
    const comport::Command asked[kSettings] = {comport::kSetBaudRate, comport::kSetDataSize,
                                               comport::kSetParity, comport::kSetStopSize,
                                               comport::kSetControl};
    const std::string values[kSettings] = {BaudValue(dcb->BaudRate), Byte(dcb->ByteSize),
                                           Byte(dcb->Parity + 1u), Byte(StopSizeCode(dcb->StopBits)),
                                           Byte(FlowControlCode(*dcb))};
    // Answers that have arrived since the last call are counted first, or
    // one of them would pass for this call's answer.
    if (!Drain()) return FailBroken();
    unsigned before[kSettings];
    std::string out;
    for (size_t i = 0; i < kSettings; ++i) {
      before[i] = session_.answer(asked[i]).count;
      out += TelnetSession::ComPortCommand(asked[i], values[i]);
    }
    if (!SendControl(out)) return FailBroken();
    if (!AwaitAnswers(asked, before, kSettings, kAnswerMs)) return FALSE;
    // The server answers with what its port now has; anything else than
    // what was asked is a refusal.
    for (size_t i = 0; i < kSettings; ++i)
      if (session_.answer(asked[i]).value != values[i]) return Fail(ERROR_INVALID_PARAMETER);
    // Lines the settings hold steady. Their answers are not awaited: a server
    // whose port has no modem lines does not answer them at all. Sent after
    // the flow control's answer, which shares their command.
    std::string lines;
    if (dcb->fDtrControl == DTR_CONTROL_ENABLE) lines += TelnetSession::ComPortCommand(comport::kSetControl, comport::kDtrOn);
    if (dcb->fDtrControl == DTR_CONTROL_DISABLE) lines += TelnetSession::ComPortCommand(comport::kSetControl, comport::kDtrOff);
    if (dcb->fRtsControl == RTS_CONTROL_ENABLE) lines += TelnetSession::ComPortCommand(comport::kSetControl, comport::kRtsOn);
    if (dcb->fRtsControl == RTS_CONTROL_DISABLE) lines += TelnetSession::ComPortCommand(comport::kSetControl, comport::kRtsOff);
    if (!lines.empty() && !SendControl(lines)) return FailBroken();
  }
  dcb_ = *dcb;
  dcb_.DCBlength = sizeof(DCB);
  return TRUE;
}

BOOL NetworkPort::ClearCommError(DWORD* errors, COMSTAT* stat) {
  std::lock_guard<std::mutex> lock(mutex_);
  Drain();
  const uint8_t faults = Negotiating() ? session_.TakeLineFaults() : 0;
  // Data that arrived before the connection ended can still be read, and
  // faults notified before it are still reported, once, before the call fails.
  if (broken_ && Buffered() == 0 && faults == 0) return FailBroken();
  DWORD flags = 0;
  if (faults & comport::kOverrun) flags |= CE_OVERRUN;
  if (faults & comport::kParityError) flags |= CE_RXPARITY;
  if (faults & comport::kFramingError) flags |= CE_FRAME;
  if (faults & comport::kBreakDetected) flags |= CE_BREAK;
  if (errors) *errors = flags;
  if (stat) {
    *stat = COMSTAT{};
    stat->cbInQue = static_cast<DWORD>(Buffered());
  }
  return TRUE;
}

BOOL NetworkPort::ReadFile(void* buffer, DWORD wanted, DWORD* count, OVERLAPPED* overlapped) {
  if (count) *count = 0;
  if (!buffer && wanted) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> lock(mutex_);
  Drain();
  // The time-outs as a serial port reads them: an interval of MAXDWORD with
  // no totals returns what is there; an interval of MAXDWORD with totals
  // returns what is there, or the first bytes within the total; otherwise the
  // read waits for all it asked for, up to the total (none: no bound).
  const COMMTIMEOUTS& t = timeouts_;
  const bool atOnce = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                      t.ReadTotalTimeoutConstant == 0;
  const bool anyWillDo = t.ReadIntervalTimeout == MAXDWORD;
  ULONGLONG total = 0;
  if (anyWillDo && t.ReadTotalTimeoutMultiplier == MAXDWORD) total = t.ReadTotalTimeoutConstant;
  else total = ULONGLONG{t.ReadTotalTimeoutMultiplier} * wanted + t.ReadTotalTimeoutConstant;
  const bool bounded = total != 0;
  const ULONGLONG deadline = Now() + total;
  // (No read waits for more than the buffer takes in before it reads again.)
  const size_t enough = std::min<size_t>({size_t{wanted}, anyWillDo ? 1 : size_t{wanted}, kMostBuffered});
  while (!atOnce && Buffered() < enough && !broken_) {
    if (bounded && Remaining(deadline) == 0) break;
    WaitReadable(bounded ? Remaining(deadline) : INFINITE);
    Drain();
  }
  const size_t n = std::min<size_t>(Buffered(), wanted);
  if (n == 0 && broken_ && wanted) return FailBroken();
  if (n) std::memcpy(buffer, inbound_.data() + inboundStart_, n);
  inboundStart_ += n;
  // What has been read leaves the buffer's front when more arrives (Take).
  if (inboundStart_ == inbound_.size()) {
    inbound_.clear();
    inboundStart_ = 0;
  }
  if (count) *count = static_cast<DWORD>(n);
  Complete(overlapped, static_cast<DWORD>(n));
  return TRUE;
}

BOOL NetworkPort::WriteFile(const void* buffer, DWORD size, DWORD* count, OVERLAPPED* overlapped) {
  if (count) *count = 0;
  if (!buffer && size) return Fail(ERROR_INVALID_PARAMETER);
  std::unique_lock<std::mutex> lock(mutex_);
  if (broken_) return FailBroken();
  const ULONGLONG total =
      ULONGLONG{timeouts_.WriteTotalTimeoutMultiplier} * size + timeouts_.WriteTotalTimeoutConstant;
  const ULONGLONG deadline = total ? Now() + total : 0;
  const char* source = static_cast<const char*>(buffer);
  // The server has asked for a pause: nothing goes out until it resumes us or
  // the write's time runs out, which completes the write with nothing sent.
  while (Negotiating() && session_.suspended()) {
    if (!Drain()) return FailBroken();
    if (!session_.suspended()) break;
    if (deadline && Remaining(deadline) == 0) {
      Complete(overlapped, 0);
      return TRUE;
    }
    const DWORD slice = std::min(deadline ? Remaining(deadline) : INFINITE, kSuspendedSliceMs);
    const bool dataLeft = DataLeftInSocket();
    lock.unlock();
    WaitForServer(slice, dataLeft);
    lock.lock();
    if (broken_) return FailBroken();
  }
  const std::string bytes =
      Negotiating() ? TelnetSession::EscapeData(source, size) : std::string(source, size);
  size_t sent = SendOwedByte(deadline) ? SendBytes(bytes, deadline) : 0;
  // A deadline between the two bytes of a doubled 255 leaves a lone command
  // byte on the wire, and the server would take the next byte for a command.
  // The pair is finished now if the socket takes one more byte, else by the
  // next bytes sent, whatever they are: the byte counts as written, as one a
  // driver has queued does.
  if (Negotiating() && EndsInsidePair(source, size, sent)) {
    owesIac_ = SendBytes(bytes.substr(sent, 1), Now()) == 0;
    ++sent;
  }
  if (broken_) return FailBroken();
  const DWORD done = Negotiating() ? SourceBytesSent(source, size, sent) : static_cast<DWORD>(sent);
  if (count) *count = done;
  Complete(overlapped, done);
  return TRUE;
}

BOOL NetworkPort::GetCommModemStatus(DWORD* status) {
  if (!status) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> lock(mutex_);
  // Raw bytes carry no lines, and neither does a server without the option.
  if (!Negotiating() || !ComPortAccepted()) return Fail(ERROR_NOT_SUPPORTED);
  if (!Drain()) return FailBroken();
  // The notification's upper four bits are CTS, DSR, RI and DCD, at the
  // places of MS_CTS_ON, MS_DSR_ON, MS_RING_ON and MS_RLSD_ON.
  *status = session_.modemState() & 0xF0u;
  return TRUE;
}

BOOL NetworkPort::EscapeCommFunction(DWORD function) {
  uint8_t code = 0;
  switch (function) {
    case SETDTR: code = comport::kDtrOn; break;
    case CLRDTR: code = comport::kDtrOff; break;
    case SETRTS: code = comport::kRtsOn; break;
    case CLRRTS: code = comport::kRtsOff; break;
    case SETBREAK: code = comport::kBreakOn; break;
    case CLRBREAK: code = comport::kBreakOff; break;
    default: return Fail(ERROR_INVALID_PARAMETER);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!Negotiating() || !ComPortAccepted()) return Fail(ERROR_NOT_SUPPORTED);
  if (broken_) return FailBroken();
  if (!SendControl(TelnetSession::ComPortCommand(comport::kSetControl, code))) return FailBroken();
  return TRUE;
}

}  // namespace vemblaric::transport
