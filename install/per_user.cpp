// DllInstall: registration for the machine or for the current user only.
//
//   regsvr32 /n /i:user Vemblaric.ocx      the current user, no administrator
//   regsvr32 /u /n /i:user Vemblaric.ocx   removes exactly that
//   regsvr32 /n /i[:machine] Vemblaric.ocx what DllRegisterServer does
//
// A per-user registration is the machine registration written under
// HKEY_CURRENT_USER\Software\Classes instead: for the length of the call the
// process's HKEY_CLASSES_ROOT is mapped onto that key, so the class keys and
// the type library's keys land there and nothing is written for the machine.
// Windows merges that key into HKEY_CLASSES_ROOT for the user's programs.
// The library's keys are written by registration itself (Scope::kUser):
// the platform's type-library calls may write into the machine's other
// registry view whatever the mapping.
#include <windows.h>

#include <initializer_list>

#include "com/module.h"
#include "com/owners.h"
#include "install/registration.h"

namespace vemblaric::install {
namespace {

// The scope an argument names; false for one that names none.
bool ScopeOf(LPCWSTR argument, Scope* scope) {
  if (!argument || !*argument || ::lstrcmpiW(argument, L"machine") == 0) {
    *scope = Scope::kMachine;
    return true;
  }
  if (::lstrcmpiW(argument, L"user") != 0) return false;
  *scope = Scope::kUser;
  return true;
}

// HKEY_CLASSES_ROOT mapped onto the user's classes for the owner's lifetime.
class UserClassesMapping {
 public:
  UserClassesMapping() {
    RegKey classes;  // closed at once: the mapping holds its own handle
    LSTATUS rc = ::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, 0,
                                   KEY_ALL_ACCESS, nullptr, classes.put(), nullptr);
    if (rc == ERROR_SUCCESS) rc = ::RegOverridePredefKey(HKEY_CLASSES_ROOT, classes.get());
    status_ = HRESULT_FROM_WIN32(rc);
  }
  ~UserClassesMapping() {
    if (SUCCEEDED(status_)) ::RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
  }
  UserClassesMapping(const UserClassesMapping&) = delete;
  UserClassesMapping& operator=(const UserClassesMapping&) = delete;
  HRESULT status() const { return status_; }

 private:
  HRESULT status_;
};

// Runs the machine registration or removal with HKEY_CLASSES_ROOT mapped
// onto the user's classes; the mapping ends on every path, a thrown one too.
HRESULT ForCurrentUser(HRESULT (*work)(Scope)) {
  UserClassesMapping mapping;
  if (FAILED(mapping.status())) return mapping.status();
  return work(Scope::kUser);
}

// Removal leaves the user's classes as installation found them: the folders
// CLSID, Interface and TypeLib, which installation creates where the user had
// none, go when they hold nothing. A folder with anything in it stays.
void RemoveEmptyUserFolders() {
  RegKey classes;
  const LSTATUS opened =
      ::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, KEY_READ, classes.put());
  if (opened != ERROR_SUCCESS) return;
  for (const wchar_t* folder : {L"CLSID", L"Interface", L"TypeLib"}) {
    RegKey key;
    if (::RegOpenKeyExW(classes.get(), folder, 0, KEY_READ, key.put()) != ERROR_SUCCESS) continue;
    DWORD subkeys = 1, values = 1;
    const LSTATUS rc = ::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr,
                                          nullptr, &values, nullptr, nullptr, nullptr, nullptr);
    key.reset();
    if (rc == ERROR_SUCCESS && subkeys == 0 && values == 0) ::RegDeleteKeyW(classes.get(), folder);
  }
}

}  // namespace
}  // namespace vemblaric::install

using namespace vemblaric::install;

extern "C" HRESULT WINAPI DllInstall(BOOL install, LPCWSTR argument) {
  HRESULT (*work)(Scope) = install ? RegisterServer : UnregisterServer;
  Scope scope = Scope::kMachine;
  if (!ScopeOf(argument, &scope)) return E_INVALIDARG;
  return vemblaric::com::Contained([&] {
    if (scope == Scope::kMachine) return work(Scope::kMachine);
    const HRESULT hr = ForCurrentUser(work);
    if (!install && SUCCEEDED(hr)) RemoveEmptyUserFolders();
    return hr;
  });
}
