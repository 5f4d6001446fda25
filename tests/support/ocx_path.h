// The full path of the built Vemblaric.ocx: VEMBLARIC_OCX_FILE, which the
// test's CMakeLists.txt defines relative to the test's folder, made absolute.
#pragma once

#include <windows.h>

#include <string>

namespace vemblaric::testing {

inline std::wstring OcxPath() {
  const std::string relative = VEMBLARIC_OCX_FILE;
  const std::wstring wide(relative.begin(), relative.end());
  wchar_t full[MAX_PATH] = {};
  ::GetFullPathNameW(wide.c_str(), MAX_PATH, full, nullptr);
  return full;
}

}  // namespace vemblaric::testing
