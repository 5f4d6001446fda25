#include "port/text.h"

#include <new>

namespace vemblaric {

void AssignBstr(BSTR& target, const wchar_t* text, UINT length) {
  BSTR fresh = ::SysAllocStringLen(text, length);
  if (!fresh) throw std::bad_alloc();
  ::SysFreeString(target);
  target = fresh;
}

std::string ToCodePage(const wchar_t* text, UINT length, UINT codePage) {
  if (length == 0) return std::string();
  const int wide = static_cast<int>(length);
  const int bytes = ::WideCharToMultiByte(codePage, 0, text, wide, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(bytes), '\0');
  if (bytes > 0) ::WideCharToMultiByte(codePage, 0, text, wide, &out[0], bytes, nullptr, nullptr);
  return out;
}

std::wstring FromCodePage(const char* bytes, size_t count, UINT codePage) {
  if (count == 0) return std::wstring();
  const int n = static_cast<int>(count);
  const int chars = ::MultiByteToWideChar(codePage, 0, bytes, n, nullptr, 0);
  std::wstring out(static_cast<size_t>(chars), L'\0');
  if (chars > 0) ::MultiByteToWideChar(codePage, 0, bytes, n, &out[0], chars);
  return out;
}

std::string ToAnsi(const wchar_t* text, UINT length) { return ToCodePage(text, length, CP_ACP); }

std::wstring FromAnsi(const char* bytes, size_t count) {
  return FromCodePage(bytes, count, CP_ACP);
}

namespace {

// The bytes a UTF-8 character takes, from its first byte; 0 for a byte that
// continues a character, 1 for one that cannot start one.
size_t Utf8Length(BYTE first) {
  if ((first & 0xC0) == 0x80) return 0;
  if ((first & 0xE0) == 0xC0) return 2;
  if ((first & 0xF0) == 0xE0) return 3;
  if ((first & 0xF8) == 0xF0) return 4;
  return 1;
}

}  // namespace

size_t WholeAnsiCharacters(const char* bytes, size_t count) {
  return WholeCharacters(bytes, count, ::GetACP());
}

constexpr UINT kGb18030 = 54936;

bool WalksCharacters(UINT codePage) {
  if (codePage == CP_ACP) codePage = ::GetACP();
  if (codePage == CP_UTF8 || codePage == kGb18030) return true;
  // Beyond one or two bytes a character the code pages are stateful (UTF-7,
  // the ISO 2022 family, HZ) or of a form not walked here.
  CPINFOEXW info{};
  return ::GetCPInfoExW(codePage, 0, &info) && info.MaxCharSize <= 2;
}

size_t WholeCharacters(const char* bytes, size_t count, UINT codePage) {
  if (codePage == CP_ACP) codePage = ::GetACP();
  if (codePage == kGb18030) {
    // A byte 0x81-0xFE leads a character of two bytes, or of four when the
    // byte after it is a digit; any other byte is a character of its own.
    size_t i = 0;
    while (i < count) {
      const BYTE lead = static_cast<BYTE>(bytes[i]);
      if (lead < 0x81 || lead == 0xFF) {
        ++i;
        continue;
      }
      if (i + 1 == count) return i;
      const BYTE second = static_cast<BYTE>(bytes[i + 1]);
      const size_t length = second >= 0x30 && second <= 0x39 ? 4 : 2;
      if (i + length > count) return i;
      i += length;
    }
    return count;
  }
  CPINFOEXW info{};
  if (!::GetCPInfoExW(codePage, 0, &info) || info.MaxCharSize < 2) return count;
  if (codePage == CP_UTF8) {
    // The last character starts at most MaxCharSize - 1 bytes before the end
    // if it is cut short.
    for (size_t back = 1; back < info.MaxCharSize && back <= count; ++back) {
      const size_t length = Utf8Length(static_cast<BYTE>(bytes[count - back]));
      if (length == 0) continue;
      return length > back ? count - back : count;
    }
    return count;
  }
  size_t i = 0;
  while (i < count) {
    const bool lead = ::IsDBCSLeadByteEx(codePage, static_cast<BYTE>(bytes[i])) != FALSE;
    if (lead && i + 1 == count) return i;
    i += lead ? 2 : 1;
  }
  return count;
}

}  // namespace vemblaric
