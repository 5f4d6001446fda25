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
#include <windows.h>
#include <oleauto.h>

#include "server/registration.h"

namespace vemblaric::server {
namespace {

enum class Scope { kMachine, kUser, kUnknown };

Scope ScopeOf(LPCWSTR argument) {
  if (!argument || !*argument || ::lstrcmpiW(argument, L"machine") == 0) return Scope::kMachine;
  if (::lstrcmpiW(argument, L"user") == 0) return Scope::kUser;
  return Scope::kUnknown;
}

// Lets the platform's type-library registration follow the mapped
// HKEY_CLASSES_ROOT; without it a limited user's registration is refused.
// Older systems lack the call and follow the mapping anyway.
void LetTypeLibrariesFollowTheMapping() {
  using Enable = void(WINAPI*)();
  HMODULE oleaut32 = ::GetModuleHandleW(L"oleaut32.dll");
  if (!oleaut32) return;
  const auto enable =
      reinterpret_cast<Enable>(::GetProcAddress(oleaut32, "OaEnablePerUserTLibRegistration"));
  if (enable) enable();
}

// Runs the machine registration or removal with HKEY_CLASSES_ROOT mapped
// onto the user's classes, and restores the mapping on every path.
HRESULT ForCurrentUser(HRESULT (*work)()) {
  HKEY classes = nullptr;
  LSTATUS rc = ::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, 0,
                                 KEY_ALL_ACCESS, nullptr, &classes, nullptr);
  if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  LetTypeLibrariesFollowTheMapping();
  rc = ::RegOverridePredefKey(HKEY_CLASSES_ROOT, classes);
  ::RegCloseKey(classes);  // the mapping holds its own handle
  if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  const HRESULT hr = work();
  ::RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
  return hr;
}

}  // namespace
}  // namespace vemblaric::server

using namespace vemblaric::server;

extern "C" HRESULT WINAPI DllInstall(BOOL install, LPCWSTR argument) {
  HRESULT (*work)() = install ? RegisterServer : UnregisterServer;
  switch (ScopeOf(argument)) {
    case Scope::kMachine:
      return work();
    case Scope::kUser:
      return ForCurrentUser(work);
    case Scope::kUnknown:
      break;
  }
  return E_INVALIDARG;
}
