// The fuzz program's kernel32: the scripted fake in place of the system's
// table. The control object asks for SystemKernel32() when it is made; this
// definition, linked into the program itself, is found before the port
// library's, so every control the program creates talks to the fake.
//
// Names of ports on other machines are the one exception: their opens go to
// the real transport, so that whatever a caller puts in a name meets the
// parser and the connect, and the failure's code becomes the fake's last
// error, as the port layer reads it. A network handle that did open would
// have its later calls answered by the fake, which knows nothing of it, so
// such an open is closed at once and counted as a fault of the fuzz's names.
#include "scripted_system_kernel32.h"

#include <mutex>

#include "port/kernel32.h"
#include "transport/network_calls.h"
#include "transport/network_name.h"

namespace vemblaric {
namespace {

std::mutex g_networkLock;
std::map<DWORD, long> g_networkOpens;

HANDLE WINAPI CreateFileAOrNetwork(LPCSTR name, DWORD access, DWORD share,
                                   LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                   HANDLE templateFile) {
  transport::NetworkName parsed;
  if (!name || transport::ParseNetworkName(name, parsed) == transport::NameKind::kDevice)
    return testing::ScriptedSystemKernel32().table().CreateFileA(
        name, access, share, security, disposition, flags, templateFile);
  HANDLE h = transport::CreateFileA(name, access, share, security, disposition, flags, templateFile);
  DWORD error = h == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
  {
    std::lock_guard<std::mutex> hold(g_networkLock);
    ++g_networkOpens[error];
  }
  if (h != INVALID_HANDLE_VALUE) {
    transport::CloseHandle(h);
    h = INVALID_HANDLE_VALUE;
    error = ERROR_ACCESS_DENIED;
  }
  testing::FakeKernel32::SetThreadLastError(error);
  return h;
}

}  // namespace

testing::FakeKernel32& testing::ScriptedSystemKernel32() {
  static FakeKernel32 fake;
  return fake;
}

std::map<DWORD, long> testing::TakeNetworkOpens() {
  std::lock_guard<std::mutex> hold(g_networkLock);
  std::map<DWORD, long> taken;
  taken.swap(g_networkOpens);
  return taken;
}

const Kernel32& SystemKernel32() {
  static const Kernel32 table = [] {
    Kernel32 t = testing::ScriptedSystemKernel32().table();
    t.CreateFileA = CreateFileAOrNetwork;
    return t;
  }();
  return table;
}

}  // namespace vemblaric
