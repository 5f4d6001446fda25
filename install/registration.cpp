// Registration of the control as an in-process server, by the platform's
// convention for controls. It never marks the control safe for scripting or
// for initialisation: a web page must not be able to drive serial ports.
#include "install/registration.h"

#include <oleauto.h>
#include <olectl.h>

#include <cwchar>
#include <initializer_list>
#include <string>
#include <vector>

#include "com/class_table.h"
#include "com/module.h"
#include "com/owners.h"
#include "com/registry_text.h"
#include "com/platform.h"
#include "install/library_keys.h"

namespace vemblaric::install {
namespace {

using com::ClassEntry;
using com::TypeLibraryEntry;

struct Value {
  std::wstring key;   // below HKEY_CLASSES_ROOT
  const wchar_t* name;  // nullptr: the key's default value
  std::wstring text;
};

std::wstring ClassKey(const ClassEntry& c) { return L"CLSID\\" + GuidText(*c.clsid); }

// Calls `each` once for every type library the classes name.
template <typename Each>
void ForEachLibrary(Each each) {
  for (std::size_t i = 0; i < com::kClassCount; ++i) {
    const TypeLibraryEntry* library = com::kClasses[i]->typeLibrary;
    bool seen = false;
    for (std::size_t k = 0; k < i; ++k) seen = seen || com::kClasses[k]->typeLibrary == library;
    if (!seen) each(*library);
  }
}

void AddEntries(const ClassEntry& c, const std::wstring& path, std::vector<Value>& out) {
  const std::wstring cls = ClassKey(c), clsid = GuidText(*c.clsid);
  const TypeLibraryEntry& library = *c.typeLibrary;
  const std::wstring version =
      std::to_wstring(library.major) + L"." + std::to_wstring(library.minor);
  const std::wstring progId = c.progId;
  const std::wstring current = c.versionedProgId ? c.versionedProgId : progId;
  out.push_back({cls, nullptr, c.description});
  out.push_back({cls + L"\\InprocServer32", nullptr, path});
  out.push_back({cls + L"\\InprocServer32", L"ThreadingModel", c.threadingModel});
  out.push_back({cls + L"\\ProgID", nullptr, current});
  if (c.versionedProgId) out.push_back({cls + L"\\VersionIndependentProgID", nullptr, progId});
  if (c.control) out.push_back({cls + L"\\Control", nullptr, L""});
  if (c.insertable) out.push_back({cls + L"\\Insertable", nullptr, L""});
  if (c.toolboxBitmap)
    out.push_back(
        {cls + L"\\ToolboxBitmap32", nullptr, path + L", " + std::to_wstring(c.toolboxBitmap)});
  // A class that draws nothing tells containers nothing about drawing.
  if (c.miscStatus) {
    out.push_back({cls + L"\\MiscStatus", nullptr, L"0"});
    out.push_back({cls + L"\\MiscStatus\\1", nullptr, std::to_wstring(c.miscStatus)});
  }
  out.push_back({cls + L"\\TypeLib", nullptr, GuidText(*library.libid)});
  out.push_back({cls + L"\\Version", nullptr, version});
  out.push_back({progId, nullptr, c.description});
  out.push_back({progId + L"\\CLSID", nullptr, clsid});
  if (c.versionedProgId) {
    out.push_back({progId + L"\\CurVer", nullptr, current});
    out.push_back({current, nullptr, c.description});
    out.push_back({current + L"\\CLSID", nullptr, clsid});
  }
}

// TypeLib\{libid}\14.0\409\win32 or win64: this build's own entry of the
// library, next to the other word size's.
std::wstring PlatformKey(const TypeLibraryEntry& library) {
  return L"TypeLib\\" + GuidText(*library.libid) + L"\\" + Hex(library.major) + L"." +
         Hex(library.minor) + L"\\" + Hex(library.locale) + L"\\" + kTypeLibPlatformKey;
}

bool Exists(const std::wstring& path) {
  RegKey key;
  return ::RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// Whether this process sees one registry view only: a 32-bit program on
// 32-bit Windows, where the flag for the other view opens its own keys.
bool OneRegistryView() {
  BOOL wow64 = FALSE;
  return sizeof(void*) == 4 && ::IsWow64Process(::GetCurrentProcess(), &wow64) && !wow64;
}

// The file a server key names: its default value read whole, an expandable
// one expanded; empty when the key names no file.
std::wstring NamedFile(HKEY key) {
  std::wstring text(MAX_PATH, L'\0');
  DWORD type = 0;
  for (;;) {
    DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    const LSTATUS rc = ::RegQueryValueExW(key, nullptr, nullptr, &type,
                                          reinterpret_cast<BYTE*>(&text[0]), &bytes);
    if (rc == ERROR_MORE_DATA) {
      text.assign(bytes / sizeof(wchar_t) + 2, L'\0');
      continue;
    }
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::wstring();
    text.resize(bytes / sizeof(wchar_t));
    break;
  }
  text.resize(std::wcslen(text.c_str()));  // a stored value may or may not end in a null
  if (type == REG_SZ) return text;
  std::wstring expanded(text.size() + 1, L'\0');
  for (;;) {
    const DWORD n = ::ExpandEnvironmentStringsW(text.c_str(), &expanded[0],
                                                static_cast<DWORD>(expanded.size()));
    if (n == 0) return text;  // named, if not readably: still someone's file
    if (n <= expanded.size()) {
      expanded.resize(n - 1);
      return expanded;
    }
    expanded.assign(n, L'\0');
  }
}

// Whether the build of the other word size is registered too: one of its
// class keys, in the other registry view, names a file that is not this one. Where there
// is one view only, there is no other build. A user's registration looks
// among the user's classes: a view flag reaches past the mapping of
// HKEY_CLASSES_ROOT to the machine's.
bool OtherBuildRegistered(Scope scope) {
  if (OneRegistryView()) return false;
  const bool user = scope == Scope::kUser;
  for (std::size_t i = 0; i < com::kClassCount; ++i) {
    RegKey key;
    const std::wstring server = ClassKey(*com::kClasses[i]) + L"\\InprocServer32";
    if (::RegOpenKeyExW(user ? HKEY_CURRENT_USER : HKEY_CLASSES_ROOT,
                        ((user ? L"Software\\Classes\\" : L"") + server).c_str(), 0,
                        KEY_READ | kOtherRegistryView, key.put()) != ERROR_SUCCESS)
      continue;
    const std::wstring file = NamedFile(key.get());
    if (!file.empty() && ::lstrcmpiW(file.c_str(), com::ModulePath().c_str()) != 0) return true;
  }
  return false;
}

LSTATUS WriteValue(const Value& v) {
  RegKey key;
  LSTATUS rc = ::RegCreateKeyExW(HKEY_CLASSES_ROOT, v.key.c_str(), 0, nullptr, 0, KEY_WRITE,
                                 nullptr, key.put(), nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  const DWORD bytes = static_cast<DWORD>((v.text.size() + 1) * sizeof(wchar_t));
  return ::RegSetValueExW(key.get(), v.name, 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(v.text.c_str()), bytes);
}

// Whether the tree can be deleted: it is absent, or it opens for deletion.
bool Deletable(const std::wstring& root) {
  RegKey key;
  const LSTATUS rc =
      ::RegOpenKeyExW(HKEY_CLASSES_ROOT, root.c_str(), 0, DELETE | KEY_READ | KEY_WRITE, key.put());
  return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

LSTATUS DeleteTree(const std::wstring& root) {
  const LSTATUS rc = ::RegDeleteTreeW(HKEY_CLASSES_ROOT, root.c_str());
  return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

std::wstring Parent(const std::wstring& path) { return path.substr(0, path.rfind(L'\\')); }

// Whether a key holds no subkeys but those named in `allowed`.
bool HoldsOnly(const std::wstring& path, std::initializer_list<const wchar_t*> allowed) {
  RegKey key;
  if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
    return false;
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = 256;
    const LSTATUS rc = ::RegEnumKeyExW(key.get(), i, name, &length, nullptr, nullptr, nullptr,
                                       nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) return true;
    if (rc != ERROR_SUCCESS) return false;
    bool known = false;
    for (const wchar_t* a : allowed) known = known || ::lstrcmpiW(name, a) == 0;
    if (!known) return false;
  }
}

// Takes this platform's entry of the library away, and with the last
// platform's entry the version key (its flags and help folder) and the
// library key left empty.
LSTATUS DeletePlatformEntry(const TypeLibraryEntry& entry) {
  const std::wstring platform = PlatformKey(entry), locale = Parent(platform),
                     version = Parent(locale), library = Parent(version);
  LSTATUS rc = DeleteTree(platform);
  if (rc != ERROR_SUCCESS || !HoldsOnly(locale, {})) return rc;
  if ((rc = DeleteTree(locale)) != ERROR_SUCCESS || !HoldsOnly(version, {L"FLAGS", L"HELPDIR"}))
    return rc;
  if ((rc = DeleteTree(version)) != ERROR_SUCCESS || !HoldsOnly(library, {})) return rc;
  return DeleteTree(library);
}

HRESULT RegisterTypeLibrary(const TypeLibraryEntry& library, const std::wstring& module,
                            Scope scope) {
  std::wstring path = LibraryPath(library, module), folder = LibraryFolder(module);
  if (scope == Scope::kUser) return WriteLibraryKeys(path, folder);
  ComPtr<ITypeLib> lib;
  const HRESULT hr = ::LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib.put());
  if (FAILED(hr)) return hr;
  // Registered by the name it was loaded by, resource index included: a
  // registration at load (Wine's) may name the file alone, which is the
  // file's first library, not this one.
  return ::RegisterTypeLib(lib.get(), &path[0], &folder[0]);
}

// The interfaces' keys in both registry views. Wine shares them between the
// views; 64-bit Windows may keep a copy in each, and the system's removal of
// the library takes only its own platform's.
LSTATUS DeleteInterfaceKeys(const TypeLibraryEntry& library) {
  for (const REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    RegKey interfaces;
    LSTATUS rc = ::RegOpenKeyExW(HKEY_CLASSES_ROOT, L"Interface", 0,
                                 DELETE | KEY_READ | KEY_WRITE | view, interfaces.put());
    if (rc == ERROR_FILE_NOT_FOUND) continue;
    if (rc != ERROR_SUCCESS) return rc;
    for (std::size_t i = 0; i < library.interfaceCount; ++i) {
      rc = ::RegDeleteTreeW(interfaces.get(), GuidText(*library.interfaces[i]).c_str());
      if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return rc;
    }
  }
  return ERROR_SUCCESS;
}

// This platform's entries of the library's earlier versions that name this
// file: registering a newer file over an older one leaves them, and nothing
// would take them away after this file goes.
LSTATUS DeleteEarlierEntries(const TypeLibraryEntry& library) {
  const std::wstring path = LibraryPath(library, com::ModulePath());
  for (WORD minor = 0; minor < library.minor; ++minor) {
    TypeLibraryEntry earlier = library;
    earlier.minor = minor;
    RegKey key;
    if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, PlatformKey(earlier).c_str(), 0, KEY_READ, key.put()) !=
        ERROR_SUCCESS)
      continue;
    const bool ours = ::CompareStringOrdinal(NamedFile(key.get()).c_str(), -1, path.c_str(), -1, TRUE) ==
                      CSTR_EQUAL;
    key.reset();
    if (!ours) continue;
    const LSTATUS rc = DeletePlatformEntry(earlier);
    if (rc != ERROR_SUCCESS) return rc;
  }
  return ERROR_SUCCESS;
}

// The last build to go takes the whole library away, its interfaces with it;
// one that leaves the other registered takes only its own platform's entry.
// Either takes this platform's entries of earlier versions of this file.
HRESULT UnregisterTypeLibrary(const TypeLibraryEntry& library, bool last, Scope scope) {
  if (scope == Scope::kMachine && DeleteEarlierEntries(library) != ERROR_SUCCESS) return SELFREG_E_TYPELIB;
  if (!last) return DeletePlatformEntry(library) == ERROR_SUCCESS ? S_OK : SELFREG_E_TYPELIB;
  // The user's library keys are this library's own writing, removed by their
  // identifiers. (The removal below reaches both views through view flags,
  // which pass by the mapping of HKEY_CLASSES_ROOT to the machine's keys.)
  if (scope == Scope::kUser) return RemoveLibraryKeys(library);
  // Ask the key, not QueryPathOfRegTypeLib, which falls back to another
  // platform's entry.
  if (Exists(PlatformKey(library))) {
    const HRESULT hr = ::UnRegisterTypeLib(*library.libid, library.major, library.minor,
                                           library.locale, kTypeLibPlatform);
    if (FAILED(hr)) return hr;
  }
  return DeleteInterfaceKeys(library) == ERROR_SUCCESS ? S_OK : SELFREG_E_TYPELIB;
}

HRESULT Register(Scope scope) {
  const std::wstring path = com::ModulePath();
  if (path.empty()) return SELFREG_E_CLASS;
  std::vector<Value> values;
  for (std::size_t i = 0; i < com::kClassCount; ++i) AddEntries(*com::kClasses[i], path, values);
  for (const Value& v : values)
    if (WriteValue(v) != ERROR_SUCCESS) return SELFREG_E_CLASS;
  HRESULT hr = S_OK;
  ForEachLibrary([&](const TypeLibraryEntry& library) {
    if (SUCCEEDED(hr)) hr = RegisterTypeLibrary(library, path, scope);
  });
  return FAILED(hr) ? SELFREG_E_TYPELIB : S_OK;
}

}  // namespace

HRESULT RegisterServer(Scope scope) {
  // A failure part-way, returned or thrown, takes back what was written.
  const HRESULT hr = com::Contained([scope] { return Register(scope); });
  if (FAILED(hr)) com::Contained([scope] { return UnregisterServer(scope); });
  return hr;
}

HRESULT UnregisterServer(Scope scope) {
  // The class keys are this build's own; the programmatic identifiers, the
  // interfaces and the libraries are shared with the build of the other word
  // size and go with the last of the two.
  const bool last = !OtherBuildRegistered(scope);
  std::vector<std::wstring> roots;
  for (std::size_t i = 0; i < com::kClassCount; ++i) roots.push_back(ClassKey(*com::kClasses[i]));
  for (std::size_t i = 0; last && i < com::kClassCount; ++i) {
    roots.push_back(com::kClasses[i]->progId);
    if (com::kClasses[i]->versionedProgId) roots.push_back(com::kClasses[i]->versionedProgId);
  }
  for (const std::wstring& root : roots)
    if (!Deletable(root)) return SELFREG_E_CLASS;
  // The libraries first: should one fail, the class keys still say the
  // control is registered, and a second call removes all of it.
  HRESULT hr = S_OK;
  ForEachLibrary([&](const TypeLibraryEntry& library) {
    if (SUCCEEDED(hr)) hr = UnregisterTypeLibrary(library, last, scope);
  });
  if (FAILED(hr)) return SELFREG_E_TYPELIB;
  HRESULT result = S_OK;
  for (const std::wstring& root : roots)
    if (DeleteTree(root) != ERROR_SUCCESS) result = SELFREG_E_CLASS;
  return result;
}

}  // namespace vemblaric::install

using namespace vemblaric::install;

// No C++ exception crosses an export: the caller receives an HRESULT.
extern "C" HRESULT WINAPI DllRegisterServer() {
  return vemblaric::com::Contained([] { return RegisterServer(); });
}

extern "C" HRESULT WINAPI DllUnregisterServer() {
  return vemblaric::com::Contained([] { return UnregisterServer(); });
}
