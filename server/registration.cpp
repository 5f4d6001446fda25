// Registration of the control as an in-process server, by the platform's
// convention for controls. It never marks the control safe for scripting or
// for initialisation: a web page must not be able to drive serial ports.
#include "server/registration.h"

#include <oleauto.h>
#include <olectl.h>

#include <string>
#include <vector>

#include "Vemblaric.h"
#include "server/identifiers.h"
#include "server/module.h"

namespace vemblaric::server {
namespace {

class RegKey {
 public:
  RegKey() = default;
  ~RegKey() {
    if (key_) ::RegCloseKey(key_);
  }
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  HKEY* put() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

struct Value {
  std::wstring key;   // below HKEY_CLASSES_ROOT
  const wchar_t* name;  // nullptr: the key's default value
  std::wstring text;
};

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40] = {};
  ::StringFromGUID2(guid, text, 40);
  return text;
}

std::wstring ClassKey() { return L"CLSID\\" + GuidText(CLSID_SerialControl); }

std::vector<Value> Entries(const std::wstring& path) {
  const std::wstring cls = ClassKey();
  const std::wstring version =
      std::to_wstring(kLibraryMajor) + L"." + std::to_wstring(kLibraryMinor);
  return {
      {cls, nullptr, kProgId},
      {cls + L"\\InprocServer32", nullptr, path},
      {cls + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
      {cls + L"\\ProgID", nullptr, kProgId},
      {cls + L"\\Control", nullptr, L""},
      {cls + L"\\ToolboxBitmap32", nullptr, path + L", " + std::to_wstring(kToolboxBitmap)},
      {cls + L"\\MiscStatus", nullptr, L"0"},
      {cls + L"\\MiscStatus\\1", nullptr, std::to_wstring(kMiscStatus)},
      {cls + L"\\TypeLib", nullptr, GuidText(LIBID_Vemblaric)},
      {cls + L"\\Version", nullptr, version},
      {kProgId, nullptr, kProgId},
      {std::wstring(kProgId) + L"\\CLSID", nullptr, GuidText(CLSID_SerialControl)},
  };
}

// The two trees registration creates below HKEY_CLASSES_ROOT.
std::vector<std::wstring> Roots() { return {ClassKey(), kProgId}; }

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

HRESULT RegisterTypeLibrary(const std::wstring& path) {
  ITypeLib* lib = nullptr;
  const HRESULT hr = ::LoadTypeLibEx(path.c_str(), REGKIND_REGISTER, &lib);
  if (lib) lib->Release();
  return hr;
}

HRESULT UnregisterTypeLibrary() {
  // Nothing registered is nothing to remove. Ask first: for a library that is
  // not registered, some systems' UnRegisterTypeLib answers E_INVALIDARG.
  BSTR registered = nullptr;
  if (FAILED(::QueryPathOfRegTypeLib(LIBID_Vemblaric, kLibraryMajor, kLibraryMinor,
                                     kLibraryLocale, &registered)))
    return S_OK;
  ::SysFreeString(registered);
  const HRESULT hr =
      ::UnRegisterTypeLib(LIBID_Vemblaric, kLibraryMajor, kLibraryMinor, kLibraryLocale, SYS_WIN32);
  return hr == TYPE_E_REGISTRYACCESS || hr == TYPE_E_LIBNOTREGISTERED ? S_OK : hr;
}

}  // namespace

HRESULT RegisterServer() {
  const std::wstring path = ModulePath();
  if (path.empty()) return SELFREG_E_CLASS;
  for (const Value& v : Entries(path)) {
    if (WriteValue(v) != ERROR_SUCCESS) {
      for (const std::wstring& root : Roots()) DeleteTree(root);
      return SELFREG_E_CLASS;
    }
  }
  if (FAILED(RegisterTypeLibrary(path))) {
    for (const std::wstring& root : Roots()) DeleteTree(root);
    return SELFREG_E_TYPELIB;
  }
  return S_OK;
}

HRESULT UnregisterServer() {
  for (const std::wstring& root : Roots())
    if (!Deletable(root)) return SELFREG_E_CLASS;
  const HRESULT typelib = UnregisterTypeLibrary();
  if (FAILED(typelib)) return SELFREG_E_TYPELIB;
  HRESULT result = S_OK;
  for (const std::wstring& root : Roots())
    if (DeleteTree(root) != ERROR_SUCCESS) result = SELFREG_E_CLASS;
  return result;
}

}  // namespace vemblaric::server
