// The type library's keys below HKEY_CLASSES_ROOT, written and removed here
// instead of by the platform's type-library calls. A per-user registration
// needs that: it maps HKEY_CLASSES_ROOT onto the user's classes, and the
// platform's calls may write the interfaces into the machine's other
// registry view whatever the mapping (Wine's 64-bit calls do).
#include "install/library_keys.h"

#include <oleauto.h>

#include <string>

#include "com/owners.h"
#include "com/registry_text.h"
#include "com/platform.h"

namespace vemblaric::install {
namespace {

HRESULT SystemLoad(const wchar_t* path, ITypeLib** lib) {
  return ::LoadTypeLibEx(path, REGKIND_NONE, lib);
}
TypeLibraryLoad g_load = SystemLoad;

LSTATUS Write(const std::wstring& key, const wchar_t* name, const std::wstring& text) {
  return ::RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), name, REG_SZ, text.c_str(),
                           static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

// The library's description (its name when it has none), or an entry's name.
std::wstring Documentation(ITypeLib* lib, INT index) {
  Bstr name, doc;
  if (FAILED(lib->GetDocumentation(index, name.put(), index < 0 ? doc.put() : nullptr, nullptr,
                                   nullptr)))
    return std::wstring();
  return doc.length() ? doc.str() : name.str();
}

std::wstring InterfaceKey(REFIID iid) { return L"Interface\\" + GuidText(iid); }

// Calls `each` with the attributes and index of every interface the library
// registers.
template <typename Each>
HRESULT ForEachInterface(ITypeLib* lib, Each each) {
  const UINT count = lib->GetTypeInfoCount();
  for (UINT i = 0; i < count; ++i) {
    ComPtr<ITypeInfo> info;
    HRESULT hr = lib->GetTypeInfo(i, info.put());
    if (FAILED(hr)) return hr;
    TYPEATTR* attr = nullptr;
    hr = info->GetTypeAttr(&attr);
    if (SUCCEEDED(hr)) {
      if (IsRegisteredInterface(*attr)) hr = each(*attr, static_cast<INT>(i));
      info->ReleaseTypeAttr(attr);
    }
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

}  // namespace

std::wstring LibraryPath(const com::TypeLibraryEntry& library, const std::wstring& module) {
  return library.resource == 1 ? module : module + L"\\" + std::to_wstring(library.resource);
}

std::wstring LibraryFolder(const std::wstring& module) {
  return module.substr(0, module.find_last_of(L"\\/"));
}

HRESULT WriteLibraryKeys(const std::wstring& path, const std::wstring& folder) {
  ComPtr<ITypeLib> lib;
  const HRESULT loaded = g_load(path.c_str(), lib.put());
  if (FAILED(loaded)) return loaded;
  TLIBATTR* attr = nullptr;
  HRESULT hr = lib.get()->GetLibAttr(&attr);
  if (FAILED(hr)) return hr;
  const TLIBATTR library = *attr;
  lib.get()->ReleaseTLibAttr(attr);

  const std::wstring libid = GuidText(library.guid);
  const std::wstring version = Hex(library.wMajorVerNum) + L"." + Hex(library.wMinorVerNum);
  const std::wstring key = L"TypeLib\\" + libid + L"\\" + version;
  LSTATUS rc = Write(key, nullptr, Documentation(lib.get(), -1));
  if (rc == ERROR_SUCCESS)
    rc = Write(key + L"\\FLAGS", nullptr,
               std::to_wstring(library.wLibFlags & ~LIBFLAG_FHASDISKIMAGE));
  if (rc == ERROR_SUCCESS)
    rc = Write(key + L"\\" + Hex(library.lcid) + L"\\" + kTypeLibPlatformKey, nullptr, path);
  if (rc == ERROR_SUCCESS) rc = Write(key + L"\\HELPDIR", nullptr, folder);
  if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);

  return ForEachInterface(lib.get(), [&](const TYPEATTR& type, INT index) {
    const std::wstring iface = InterfaceKey(type.guid);
    const wchar_t* proxy = MarshalerOf(type);
    LSTATUS status = Write(iface, nullptr, Documentation(lib.get(), index));
    if (status == ERROR_SUCCESS) status = Write(iface + L"\\ProxyStubClsid", nullptr, proxy);
    if (status == ERROR_SUCCESS) status = Write(iface + L"\\ProxyStubClsid32", nullptr, proxy);
    if (status == ERROR_SUCCESS) status = Write(iface + L"\\TypeLib", nullptr, libid);
    if (status == ERROR_SUCCESS) status = Write(iface + L"\\TypeLib", L"Version", version);
    return HRESULT_FROM_WIN32(status);
  });
}

HRESULT RemoveLibraryKeys(const com::TypeLibraryEntry& library) {
  const auto remove = [](const std::wstring& key) {
    const LSTATUS rc = ::RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
    return rc == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(rc);
  };
  for (std::size_t i = 0; i < library.interfaceCount; ++i) {
    const HRESULT hr = remove(InterfaceKey(*library.interfaces[i]));
    if (FAILED(hr)) return hr;
  }
  return remove(L"TypeLib\\" + GuidText(*library.libid));
}

void SetTypeLibraryLoad(TypeLibraryLoad load) { g_load = load ? load : SystemLoad; }

}  // namespace vemblaric::install
