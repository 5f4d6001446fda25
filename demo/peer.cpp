// The other end of the cable for the demo: a scripted responder on a serial
// port, written with kernel32 alone, without the classes.
//
//   vemblaric_peer.exe PORT [BAUD [FRAME]]
//
// FRAME is the rest of a mode text, "parity=N data=8 stop=1" unless given
// (a host that opens its end with two stop bits gives "parity=N data=8
// stop=2"). Opens COM<PORT> and answers every line it receives (CR LF or LF
// ended) with "echo: " and the line. A line "bye" is answered with "quit", after which the
// peer ends; so does ten seconds of silence, so it never outlives its session.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr DWORD kIdleLimitMs = 10000;

void Say(const std::string& text) {
  std::printf("    peer | %s\n", text.c_str());
  std::fflush(stdout);
}

std::string Shown(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else out += (c >= 32 && c < 127) ? c : '?';
  }
  return out;
}

bool Send(HANDLE port, const std::string& text) {
  DWORD written = 0;
  const bool ok = ::WriteFile(port, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                  written == text.size();
  Say(std::string(ok ? "sent \"" : "could not send \"") + Shown(text) + "\"");
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: vemblaric_peer PORT [BAUD [FRAME]]\n");
    return 2;
  }
  const std::string name = std::string("\\\\.\\COM") + argv[1];
  const std::string baud = argc > 2 ? argv[2] : "57600";
  const std::string frame = argc > 3 ? argv[3] : "parity=N data=8 stop=1";
  HANDLE port = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                              nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    Say("cannot open COM" + std::string(argv[1]) + ", error " + std::to_string(::GetLastError()));
    return 1;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  const std::string settings = "baud=" + baud + " " + frame;
  if (!::GetCommState(port, &dcb) || !::BuildCommDCBA(settings.c_str(), &dcb) || !::SetCommState(port, &dcb))
    Say("the settings \"" + settings + "\" were not taken; going on");
  // A read returns as soon as anything has arrived, or after 200 ms.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
  timeouts.ReadTotalTimeoutConstant = 200;
  timeouts.WriteTotalTimeoutConstant = 2000;
  ::SetCommTimeouts(port, &timeouts);
  // Bytes an earlier user of the port left unread are not this session's.
  ::PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
  Say("listening on COM" + std::string(argv[1]) + " (" + settings + "), a " +
      std::to_string(sizeof(void*) * 8) + "-bit program");

  std::string pending;
  DWORD lastHeard = ::GetTickCount();
  int code = 0;
  for (bool done = false; !done;) {
    char chunk[256];
    DWORD count = 0;
    if (!::ReadFile(port, chunk, sizeof chunk, &count, nullptr)) {
      Say("read failed, error " + std::to_string(::GetLastError()));
      code = 1;
      break;
    }
    if (count == 0) {
      if (::GetTickCount() - lastHeard > kIdleLimitMs) {
        Say("nothing heard for ten seconds; ending");
        break;
      }
      continue;
    }
    lastHeard = ::GetTickCount();
    pending.append(chunk, count);
    for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      Say("got  \"" + Shown(line) + "\"");
      if (line == "bye") {
        Send(port, "quit\r\n");
        done = true;
        break;
      }
      if (!Send(port, "echo: " + line + "\r\n")) code = 1;
    }
  }
  // Let the last answer leave the queue before the handle goes.
  ::FlushFileBuffers(port);
  ::CloseHandle(port);
  Say("closed");
  return code;
}
