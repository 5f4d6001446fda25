// Texts for the programs that run once under a Japanese locale (ANSI code
// page 932, double-byte) and once under a Unicode-only locale (65001, UTF-8).
#pragma once

#include <windows.h>

#include <string>

namespace vemblaric::testing {

struct CodePageTexts {
  UINT codePage;
  std::wstring mixed;            // characters of every length, the first a long one
  size_t sampleBytes;            // the bytes of L"\u65e5\u672c\u8a9e abc" (7 characters)
  std::wstring unrepresentable;  // text the code page cannot represent
  std::string cutShort;          // the first bytes of a character, its last byte missing
};

// The texts of the process's ANSI code page; null for a code page not listed.
// In 932 the trail byte of U+65E5 (0x93 0xFA) is also a lead byte value and
// U+FF71 is a single byte above 0x80; in UTF-8 the characters of `mixed` take
// 3, 1, 2, 4 (a surrogate pair), 1 and 3 bytes.
inline const CodePageTexts* ThisCodePage() {
  static const CodePageTexts texts[] = {
      {932, L"\u65e5a\uff71\u672cb\u8a9e", 10, L"x\u0e01\u05d0y", "\x93"},
      {CP_UTF8, L"\u65e5a\u00e9\U0001F600b\u8a9e", 13, L"x\xD800y", "\xF0\x9F\x98"},
  };
  for (const CodePageTexts& t : texts)
    if (t.codePage == ::GetACP()) return &t;
  return nullptr;
}

constexpr char kCodePageHelp[] =
    "run under a Japanese locale (code page 932) or a Unicode-only one (65001)";

}  // namespace vemblaric::testing
