// The type library's keys below HKEY_CLASSES_ROOT, written by this library
// itself rather than by the platform's type-library calls.
#pragma once

#include <windows.h>

#include <string>

namespace vemblaric::server {

// Writes the keys of the library in the file at `path`, as the platform's
// registration of it would: the library's version entry with its flags, this
// platform's path and the help folder, and each automation interface with
// its marshaler and library.
HRESULT WriteLibraryKeys(const std::wstring& path);

// Removes the whole library key and the keys of its interfaces.
HRESULT RemoveLibraryKeys(const std::wstring& path);

}  // namespace vemblaric::server
