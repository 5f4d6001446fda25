// Automation strings and the ANSI text the system is handed.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

#include "com/owners.h"

namespace vemblaric {

// Replaces the string held by an in-out BSTR parameter with a copy of `text`.
// The old string is freed only once the new one exists. Throws std::bad_alloc.
void AssignBstr(BSTR& target, const wchar_t* text, UINT length);
inline void AssignBstr(BSTR& target, const std::wstring& text) {
  AssignBstr(target, text.c_str(), static_cast<UINT>(text.size()));
}

// Text in the ANSI code page and back (CP_ACP). Characters the code page
// cannot represent come out as the conversion renders them.
std::string ToAnsi(const wchar_t* text, UINT length);
std::wstring FromAnsi(const char* bytes, size_t count);

// The same in any installed code page (CP_ACP, CP_UTF8, 932, 28591 ...).
std::string ToCodePage(const wchar_t* text, UINT length, UINT codePage);
std::wstring FromCodePage(const char* bytes, size_t count, UINT codePage);

// How many of `bytes` make whole characters of the ANSI code page: all of
// them, or fewer when they end in the first bytes of a character whose last
// bytes are missing (at most the code page's longest character less one).
// A double-byte code page is walked from the start, so a trail byte that could
// also be a lead byte is judged as the trail it is; in UTF-8 the last lead
// byte tells the length of its character. Bytes that cannot start a character
// count as whole: the conversion renders them as it does.
// GB18030's characters of two and four bytes are walked the same way.
size_t WholeAnsiCharacters(const char* bytes, size_t count);
size_t WholeCharacters(const char* bytes, size_t count, UINT codePage);
// Whether WholeCharacters knows where the code page's characters end: the
// single- and double-byte code pages, UTF-8 and GB18030, not the stateful
// ones (UTF-7, ISO 2022, HZ).
bool WalksCharacters(UINT codePage);

}  // namespace vemblaric
