// SerialControl's class and its type library as installation publishes them;
// the class, interface and library identifiers themselves come from the
// interface description. The class table's entry (class_entry.cpp) is made
// of these.
#pragma once

#include <windows.h>

#include "com/class_table.h"
#include "com/dispatch.h"
#include "server/library_version.h"

namespace vemblaric::control_object {

constexpr WORD kLibraryMajor = library_version::kMajor;
constexpr WORD kLibraryMinor = library_version::kMinor;
constexpr LCID kLibraryLocale = library_version::kLocale;

constexpr wchar_t kProgId[] = L"Vemblaric.SerialControl";
constexpr DWORD kMiscStatus = 0x00020591;
constexpr int kToolboxBitmap = 30000;

// How the control's failures read to hosts: source and description.
extern const com::FailureSource kFailureSource;

// The library that describes the control, and the control's entry.
extern const com::TypeLibraryEntry kVemblaricLibrary;
extern const com::ClassEntry kSerialControlClass;

}  // namespace vemblaric::control_object
