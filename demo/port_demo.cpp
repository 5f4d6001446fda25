// A walk through the port layer on a real pair of ports: open both ends,
// show the settings they run with, send a text each way, and show the error
// line after a deliberate failure.
//
//   port_demo.exe [portA portB]     (defaults: 1 2, i.e. COM1 and COM2)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "port/port_layer.h"

namespace {

using vemblaric::Bstr;
using vemblaric::PortLayer;

struct NoHost : vemblaric::MessagePump {
  void DoEvents() override {}
};

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) {
    if (c == L'\r' || c == L'\n') continue;  // system texts end in a line break
    out += (c >= 32 && c < 127) ? static_cast<char>(c) : '.';
  }
  return out;
}

std::string ErrorLine(PortLayer& port) {
  Bstr line;
  port.CommGetError(*line.put());
  return Narrow(line.str());
}

void ShowSettings(PortLayer& port, short id) {
  const HANDLE h = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(port.CommPorts(id).hPort));
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  COMMTIMEOUTS t{};
  if (!::GetCommState(h, &dcb) || !::GetCommTimeouts(h, &t)) {
    std::printf("  COM%d: settings could not be read back\n", id);
    return;
  }
  static const char parity[] = "NOEMS";
  static const char* const stop[] = {"1", "1.5", "2"};
  std::printf("  COM%d: %lu baud, %u%c%s, read time-out %lu ms, write %lu ms per byte\n", id,
              static_cast<unsigned long>(dcb.BaudRate), dcb.ByteSize,
              dcb.Parity < 5 ? parity[dcb.Parity] : '?', dcb.StopBits < 3 ? stop[dcb.StopBits] : "?",
              static_cast<unsigned long>(t.ReadTotalTimeoutConstant),
              static_cast<unsigned long>(t.WriteTotalTimeoutMultiplier));
}

bool Open(PortLayer& port, short id) {
  const std::wstring name = L"COM" + std::to_wstring(id);
  Bstr n(name.c_str()), s(L"baud=57600 parity=N data=8 stop=1");
  const long result = port.CommOpen(id, n.get(), s.get());
  std::printf("CommOpen(%d, \"COM%d\", \"baud=57600 parity=N data=8 stop=1\") = %ld\n", id, id, result);
  if (result != 0) std::printf("  %s\n", ErrorLine(port).c_str());
  return result == 0;
}

void Send(PortLayer& from, short a, PortLayer& to, short b, const wchar_t* text) {
  BSTR data = Bstr(text).release();
  const long sent = from.CommWrite(a, data);
  ::SysFreeString(data);
  std::printf("CommWrite(%d, \"%s\") = %ld\n", a, Narrow(text).c_str(), sent);
  std::wstring got;
  const DWORD start = ::GetTickCount();
  while (got.size() < static_cast<size_t>(sent > 0 ? sent : 0) && ::GetTickCount() - start < 5000) {
    Bstr chunk;
    const long n = to.CommRead(b, *chunk.put(), 0);  // take what is queued
    if (n < 0) break;
    if (n == 0) ::Sleep(5);
    got += chunk.str();
  }
  std::printf("CommRead(%d) brought \"%s\" (%u characters)\n", b, Narrow(got).c_str(),
              static_cast<unsigned>(got.size()));
}

}  // namespace

int main(int argc, char** argv) {
  const short a = static_cast<short>(argc > 2 ? std::atoi(argv[1]) : 1);
  const short b = static_cast<short>(argc > 2 ? std::atoi(argv[2]) : 2);
  NoHost host;
  PortLayer left(vemblaric::SystemKernel32(), host), right(vemblaric::SystemKernel32(), host);

  std::printf("-- opening both ends of the null-modem cable\n");
  if (!Open(left, a) || !Open(right, b)) return 1;
  ShowSettings(left, a);
  ShowSettings(right, b);

  std::printf("\n-- sending both ways\n");
  Send(left, a, right, b, L"Hello from one end");
  Send(right, b, left, a, L"and back from the other");

  std::printf("\n-- a deliberate failure: opening the same slot again\n");
  Open(left, a);
  std::printf("\n-- and a device that does not exist\n");
  left.CommClose(a);
  Bstr missing(L"COM9"), settings(L"baud=57600 parity=N data=8 stop=1");
  std::printf("CommOpen(%d, \"COM9\", ...) = %ld\n", a, left.CommOpen(a, missing.get(), settings.get()));
  std::printf("  CommGetError: %s\n", ErrorLine(left).c_str());

  std::printf("\n-- closing\n");
  std::printf("CommClose(%d) = %ld, CommClose(%d) = %ld\n", a, left.CommClose(a), b, right.CommClose(b));
  return 0;
}
