#pragma once

#include <windows.h>

namespace vemblaric::install {

// Where a registration goes: the machine's classes, through the platform's
// type-library calls; or the current user's, while DllInstall maps
// HKEY_CLASSES_ROOT onto them, with the library's keys written here
// (library_keys.h) and the other word size's build looked for among the
// user's classes.
enum class Scope { kMachine, kUser };

// Writes every class of the class table, its programmatic identifiers, and
// its type library with the library's interfaces. A failure part-way, returned or thrown, removes what was
// written, as UnregisterServer does; nothing is thrown.
//
// The 32-bit and the 64-bit Vemblaric.ocx register side by side: each writes
// its class keys in its own registry view and its own platform's entry of
// the libraries; the programmatic identifiers, the interfaces and the library
// keys are shared.
HRESULT RegisterServer(Scope scope = Scope::kMachine);

// Removes what RegisterServer writes: the class keys and this platform's entry
// of the libraries always, the shared keys only when the other word size's
// build is not registered. A key that cannot be deleted fails the call before
// any change; a failure after that is returned too, and leaves the class key
// in place, so that a second call removes the rest. It may throw
// std::bad_alloc; the exports contain it.
HRESULT UnregisterServer(Scope scope = Scope::kMachine);

}  // namespace vemblaric::install
