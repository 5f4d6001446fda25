// The type library's keys below HKEY_CLASSES_ROOT, written and removed here
// instead of by the platform's type-library calls. A per-user registration
// needs that: it maps HKEY_CLASSES_ROOT onto the user's classes, and the
// platform's calls may write the interfaces into the machine's other
// registry view whatever the mapping (Wine's 64-bit calls do).
#include "server/library_keys.h"

#include <oleauto.h>

#include <cwchar>
#include <string>

#include "Vemblaric.h"
#include "server/typelib/platform.h"

namespace vemblaric::server {
namespace {

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40] = {};
  ::StringFromGUID2(guid, text, 40);
  return text;
}

std::wstring Hex(unsigned long value) {
  wchar_t text[16] = {};
  ::swprintf(text, 16, L"%lx", value);
  return text;
}

HRESULT SystemLoad(const wchar_t* path, ITypeLib** lib) {
  return ::LoadTypeLibEx(path, REGKIND_NONE, lib);
}
TypeLibraryLoad g_load = SystemLoad;

class TypeLib {
 public:
  explicit TypeLib(const std::wstring& path) { hr_ = g_load(path.c_str(), &lib_); }
  ~TypeLib() {
    if (lib_) lib_->Release();
  }
  TypeLib(const TypeLib&) = delete;
  TypeLib& operator=(const TypeLib&) = delete;
  HRESULT status() const { return hr_; }
  ITypeLib* get() const { return lib_; }

 private:
  ITypeLib* lib_ = nullptr;
  HRESULT hr_;
};

LSTATUS Write(const std::wstring& key, const wchar_t* name, const std::wstring& text) {
  return ::RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), name, REG_SZ, text.c_str(),
                           static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

// The library's description (its name when it has none), or an entry's name.
std::wstring Documentation(ITypeLib* lib, INT index) {
  BSTR name = nullptr, doc = nullptr;
  if (FAILED(lib->GetDocumentation(index, &name, index < 0 ? &doc : nullptr, nullptr, nullptr)))
    return std::wstring();
  std::wstring text = ::SysStringLen(doc) ? doc : (name ? name : L"");
  ::SysFreeString(name);
  ::SysFreeString(doc);
  return text;
}

std::wstring InterfaceKey(REFIID iid) { return L"Interface\\" + GuidText(iid); }

// Calls `each` with the attributes and index of every interface the library
// registers.
template <typename Each>
HRESULT ForEachInterface(ITypeLib* lib, Each each) {
  const UINT count = lib->GetTypeInfoCount();
  for (UINT i = 0; i < count; ++i) {
    ITypeInfo* info = nullptr;
    HRESULT hr = lib->GetTypeInfo(i, &info);
    if (FAILED(hr)) return hr;
    TYPEATTR* attr = nullptr;
    hr = info->GetTypeAttr(&attr);
    if (SUCCEEDED(hr)) {
      if (IsRegisteredInterface(*attr)) hr = each(*attr, static_cast<INT>(i));
      info->ReleaseTypeAttr(attr);
    }
    info->Release();
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

}  // namespace

HRESULT WriteLibraryKeys(const std::wstring& path) {
  TypeLib lib(path);
  if (FAILED(lib.status())) return lib.status();
  TLIBATTR* attr = nullptr;
  HRESULT hr = lib.get()->GetLibAttr(&attr);
  if (FAILED(hr)) return hr;
  const TLIBATTR library = *attr;
  lib.get()->ReleaseTLibAttr(attr);

  const std::wstring libid = GuidText(library.guid);
  const std::wstring version = Hex(library.wMajorVerNum) + L"." + Hex(library.wMinorVerNum);
  const std::wstring key = L"TypeLib\\" + libid + L"\\" + version;
  const std::wstring folder = path.substr(0, path.find_last_of(L"\\/"));
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

const IID* const kRegisteredInterfaces[2] = {&IID__SerialControl, &DIID___SerialControl};

HRESULT RemoveLibraryKeys() {
  const auto remove = [](const std::wstring& key) {
    const LSTATUS rc = ::RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
    return rc == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(rc);
  };
  for (const IID* iid : kRegisteredInterfaces) {
    const HRESULT hr = remove(InterfaceKey(*iid));
    if (FAILED(hr)) return hr;
  }
  return remove(L"TypeLib\\" + GuidText(LIBID_Vemblaric));
}

void SetTypeLibraryLoad(TypeLibraryLoad load) { g_load = load ? load : SystemLoad; }

}  // namespace vemblaric::server
