// Texts as the assembly manifest writes them: UTF-8, as its declaration
// says, and attribute values with XML's markup characters escaped, so that a
// file, library or class name of any characters reads back as itself.
#pragma once

#include <windows.h>

#include <string>

namespace vemblaric::manifest {

inline std::string Utf8(const wchar_t* text) {
  if (!text || !*text) return std::string();
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n) - 1);
  return out;
}

inline std::string Attribute(const wchar_t* text) {
  std::string out;
  for (const char c : Utf8(text)) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace vemblaric::manifest
