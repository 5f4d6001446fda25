// The one place the control's word size shows in its code. The same source
// builds a 32-bit and a 64-bit Vemblaric.ocx; the platform forces two
// differences, and both are settled here:
//  - a type library records the platform whose function tables it describes
//    (a pointer's size sets every member's place), and it is registered under
//    that platform's key of the library;
//  - 64-bit Windows keeps the classes of the two word sizes in two registry
//    views, so one build sees the other's class key only through the other
//    view. The programmatic identifier, interfaces and library are shared.
#pragma once

#include <windows.h>
#include <oleauto.h>

namespace vemblaric {

#ifdef _WIN64
constexpr SYSKIND kTypeLibPlatform = SYS_WIN64;
constexpr wchar_t kTypeLibPlatformKey[] = L"win64";
constexpr REGSAM kOtherRegistryView = KEY_WOW64_32KEY;
#else
constexpr SYSKIND kTypeLibPlatform = SYS_WIN32;
constexpr wchar_t kTypeLibPlatformKey[] = L"win32";
// On 32-bit Windows there is no other view and the flag is ignored.
constexpr REGSAM kOtherRegistryView = KEY_WOW64_64KEY;
#endif

}  // namespace vemblaric
