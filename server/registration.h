#pragma once

#include <windows.h>

namespace vemblaric::server {

// Writes the class, its programmatic identifier, and the type library with
// its two interfaces. A failure part-way removes what was written.
HRESULT RegisterServer();

// Removes exactly what RegisterServer writes. Nothing is removed unless all
// of it can be: a key that cannot be deleted fails the call before any change.
HRESULT UnregisterServer();

}  // namespace vemblaric::server
