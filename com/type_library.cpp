#include "com/type_library.h"

#include <oleauto.h>

#include <new>
#include <string>

#include "com/module.h"
#include "com/owners.h"

namespace vemblaric::com {
namespace {

// One slot per resource index a class names; the libraries are few.
constexpr int kMostLibraries = 8;
SRWLOCK g_lock = SRWLOCK_INIT;
ITypeLib* g_libraries[kMostLibraries] = {};

class Exclusive {
 public:
  Exclusive() { ::AcquireSRWLockExclusive(&g_lock); }
  ~Exclusive() { ::ReleaseSRWLockExclusive(&g_lock); }
  Exclusive(const Exclusive&) = delete;
  Exclusive& operator=(const Exclusive&) = delete;
};

// The module's file, and for a library other than the first its resource
// index after a backslash, as LoadTypeLibEx takes it.
HRESULT Load(int resource, ITypeLib** library) {
  try {
    std::wstring path = ModulePath();
    if (path.empty()) return HRESULT_FROM_WIN32(::GetLastError());
    if (resource != 1) path += L"\\" + std::to_wstring(resource);
    return ::LoadTypeLibEx(path.c_str(), REGKIND_NONE, library);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace

HRESULT GetTypeLibrary(const TypeLibraryEntry& entry, ITypeLib** library) {
  if (!library) return E_POINTER;
  *library = nullptr;
  if (entry.resource < 1 || entry.resource > kMostLibraries) return TYPE_E_CANTLOADLIBRARY;
  Exclusive lock;
  ITypeLib*& kept = g_libraries[entry.resource - 1];
  if (!kept) {
    ITypeLib* loaded = nullptr;
    const HRESULT hr = Load(entry.resource, &loaded);
    if (FAILED(hr)) return hr;
    kept = loaded;
  }
  kept->AddRef();
  *library = kept;
  return S_OK;
}

HRESULT GetTypeInfoOfGuid(const TypeLibraryEntry& entry, REFGUID guid, ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  ComPtr<ITypeLib> library;
  const HRESULT hr = GetTypeLibrary(entry, library.put());
  return FAILED(hr) ? hr : library->GetTypeInfoOfGuid(guid, info);
}

void ReleaseTypeLibraries() {
  Exclusive lock;
  for (ITypeLib*& kept : g_libraries) ReleaseAndClear(kept);
}

}  // namespace vemblaric::com
