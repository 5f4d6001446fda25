// Identifiers and numbers as the registry and the manifest write them.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <cwchar>
#include <string>

namespace vemblaric {

// A GUID as the registry writes it: {XXXXXXXX-XXXX-...}.
inline std::wstring GuidText(REFGUID guid) {
  wchar_t text[40] = {};
  ::StringFromGUID2(guid, text, 40);
  return text;
}

// A number in lowercase hexadecimal, as the registry's type-library keys name
// versions and locales.
inline std::wstring Hex(unsigned long value) {
  wchar_t text[16] = {};
  ::swprintf(text, 16, L"%lx", value);
  return text;
}

}  // namespace vemblaric
