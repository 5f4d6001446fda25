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
      break;
    case DLL_THREAD_DETACH:
      vemblaric::FreeThreadModule1();
      break;
    case DLL_PROCESS_DETACH:
      // Unloaded while the process goes on: free what every thread that used
      // the control still holds. When the process itself ends (reserved is
      // set) the other threads were stopped wherever they were, perhaps inside
      // the records' lock, and the system takes the memory back anyway.
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
