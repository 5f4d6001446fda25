// Entry routine and the four exports of Vemblaric.ocx.
#include "server/module.h"

#include <objbase.h>
#include <olectl.h>

#include "control/module1.h"
#include "server/class_factory.h"
#include "Vemblaric.h"
#include "server/registration.h"

namespace vemblaric::server {
namespace {

HMODULE g_module = nullptr;
volatile LONG g_objects = 0;
volatile LONG g_locks = 0;

// Keeps the library in its process from its first load to the process's end.
// The compiler's C++ and thread runtimes, linked into the library, set up
// state on each load that no unload gives back: the thread runtime's
// thread-local-storage index, two handles and a record for the loading
// thread, and the exception runtime's emergency pool (73 KiB in 64 bits). A
// process has some 1,088 TLS indexes, so a host that frees idle libraries
// ended after about a thousand unloads. The compiler's other thread model
// does not help: it leaks a handle for the lock around function-local
// statics and a TLS index once an exception is thrown, and the pool stays.
// Pinned, the library starts once, so loads and unloads cost nothing. COM
// still asks DllCanUnloadNow, which still answers from the live objects and
// locks; only its FreeLibrary leaves the code mapped. A running host keeps
// the code it loaded first until it ends, also across a newer registration.
// Should pinning fail, the library unloads as before.
void StayLoaded(HINSTANCE instance) {
  HMODULE pinned = nullptr;
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(instance), &pinned);
}

}  // namespace

HMODULE ModuleHandle() { return g_module; }

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(g_module, &path[0], static_cast<DWORD>(path.size()));
    if (n == 0) return std::wstring();
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}
void ObjectCreated() { ::InterlockedIncrement(&g_objects); }
void ObjectDestroyed() { ::InterlockedDecrement(&g_objects); }
void LockServer(bool lock) {
  if (lock) ::InterlockedIncrement(&g_locks);
  else ::InterlockedDecrement(&g_locks);
}
bool CanUnload() { return g_objects == 0 && g_locks == 0; }

}  // namespace vemblaric::server

using namespace vemblaric::server;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      g_module = instance;
      StayLoaded(instance);
      break;
    case DLL_THREAD_DETACH:
      vemblaric::FreeThreadModule1();
      break;
    case DLL_PROCESS_DETACH:
      // Unloaded while the process goes on (only when pinning failed): free
      // what every thread that used the control still holds. When the
      // process itself ends (reserved is set) the other threads were stopped
      // wherever they were, perhaps inside the records' lock, and the system
      // takes the memory back anyway.
      if (!reserved) vemblaric::FreeAllModule1();
      break;
  }
  return TRUE;
}

extern "C" HRESULT WINAPI DllCanUnloadNow() { return CanUnload() ? S_OK : S_FALSE; }

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!::IsEqualCLSID(clsid, CLSID_SerialControl)) return CLASS_E_CLASSNOTAVAILABLE;
  return Contained([&] { return SerialControlFactory().QueryInterface(riid, ppv); });
}

// No C++ exception crosses an export: the caller receives an HRESULT.
extern "C" HRESULT WINAPI DllRegisterServer() { return Contained([] { return RegisterServer(); }); }

extern "C" HRESULT WINAPI DllUnregisterServer() {
  return Contained([] { return UnregisterServer(); });
}
