// Names and values that registration publishes. The class, interface and
// library identifiers themselves come from the interface description.
#pragma once

#include <windows.h>

namespace vemblaric::server {

constexpr WORD kLibraryMajor = 20;
constexpr WORD kLibraryMinor = 0;
constexpr LCID kLibraryLocale = 0x409;

constexpr wchar_t kProgId[] = L"Vemblaric.SerialControl";
constexpr DWORD kMiscStatus = 0x00020591;
constexpr int kToolboxBitmap = 30000;

}  // namespace vemblaric::server
