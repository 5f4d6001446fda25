// The type library's keys below HKEY_CLASSES_ROOT, written by this library
// itself rather than by the platform's type-library calls.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

#include "com/class_table.h"

namespace vemblaric::install {

// The interfaces that registration lists, and the marshaler each goes
// through. Registration and the assembly manifest both decide by these:
// dispatch interfaces, and interfaces that automation can marshal (dual or
// marked for automation). Dual and automation interfaces use the type
// library's marshaler, pure dispatch interfaces the dispatch one.
inline bool IsRegisteredInterface(const TYPEATTR& type) {
  return type.typekind == TKIND_DISPATCH ||
         (type.typekind == TKIND_INTERFACE &&
          (type.wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION)) != 0);
}
inline const wchar_t* MarshalerOf(const TYPEATTR& type) {
  const bool automation = type.typekind == TKIND_INTERFACE || (type.wTypeFlags & TYPEFLAG_FDUAL);
  return automation ? L"{00020424-0000-0000-C000-000000000046}"
                    : L"{00020420-0000-0000-C000-000000000046}";
}

// The file name registration gives for a library: the module's path, with
// the resource index after a backslash for a library other than the first.
std::wstring LibraryPath(const com::TypeLibraryEntry& library, const std::wstring& module);

// The folder of the file a library's path names, for its help folder.
std::wstring LibraryFolder(const std::wstring& module);

// Writes the keys of the library at `path` (from LibraryPath), as the
// platform's registration of it would: the library's version entry with its
// flags, this platform's path and the help folder, and each automation
// interface with its marshaler and library.
HRESULT WriteLibraryKeys(const std::wstring& path, const std::wstring& folder);

// Removes the whole library key and the keys of its interfaces, by their
// identifiers: the file need not hold a readable library any more.
HRESULT RemoveLibraryKeys(const com::TypeLibraryEntry& library);

// How WriteLibraryKeys reads the file: LoadTypeLibEx, unless a test puts a
// failing load in its place (nullptr puts the system's back).
using TypeLibraryLoad = HRESULT (*)(const wchar_t* path, ITypeLib** lib);
void SetTypeLibraryLoad(TypeLibraryLoad load);

}  // namespace vemblaric::install
