// The module's entry routine and the exports that hand out class objects and
// answer for unloading; the class table says which classes there are.
#include "com/module.h"

#include <objbase.h>

#include "com/class_factory.h"
#include "com/class_table.h"
#include "com/type_library.h"

namespace vemblaric::com {
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

const ClassEntry* FindClass(REFCLSID clsid) {
  for (std::size_t i = 0; i < kClassCount; ++i)
    if (::IsEqualCLSID(clsid, *kClasses[i]->clsid)) return kClasses[i];
  return nullptr;
}

}  // namespace vemblaric::com

using namespace vemblaric::com;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      g_module = instance;
      StayLoaded(instance);
      break;
    case DLL_THREAD_DETACH:
      for (std::size_t i = 0; i < kClassCount; ++i)
        if (kClasses[i]->threadEnded) kClasses[i]->threadEnded();
      break;
    case DLL_PROCESS_DETACH:
      // Unloaded while the process goes on (only when pinning failed): free
      // what every thread that used the control still holds. When the
      // process itself ends (reserved is set) the other threads were stopped
      // wherever they were, perhaps inside the records' lock, and the system
      // takes the memory back anyway.
      if (reserved) break;
      for (std::size_t i = 0; i < kClassCount; ++i)
        if (kClasses[i]->unloaded) kClasses[i]->unloaded();
      ReleaseTypeLibraries();
      break;
  }
  return TRUE;
}

extern "C" HRESULT WINAPI DllCanUnloadNow() { return CanUnload() ? S_OK : S_FALSE; }

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  const ClassEntry* entry = FindClass(clsid);
  if (!entry) return CLASS_E_CLASSNOTAVAILABLE;
  return Contained([&] { return GetClassFactory(*entry, riid, ppv); });
}
