// The error record: how failures are recorded and read back as text.
#include <cwchar>
#include <string>

#include "port/caught_failure.h"
#include "port/port_layer.h"

namespace vemblaric {
namespace {

constexpr wchar_t kIoErrorFlags[] = L"  COMM Error Flags = ";
constexpr DWORD kMessageBufferChars = 256;

std::wstring TrimSpaces(const std::wstring& text) {
  const size_t first = text.find_first_not_of(L' ');
  if (first == std::wstring::npos) return std::wstring();
  const size_t last = text.find_last_not_of(L' ');
  return text.substr(first, last - first + 1);
}

std::wstring UpperHex(DWORD value) {
  wchar_t digits[16];
  swprintf(digits, 16, L"%lX", static_cast<unsigned long>(value));
  return digits;
}

}  // namespace

PortLayer::PortLayer(const Kernel32& kernel32, MessagePump& pump) : k_(kernel32), pump_(pump) {}

PortLayer::~PortLayer() {
  for (short id = 1; id <= kSlots; ++id) CommClose(id);
}

PortSlot& PortLayer::Slot(short intPortID) {
  if (intPortID < 1 || intPortID > kSlots) throw CaughtFailure{kSubscriptOutOfRange};
  return CommPorts_[intPortID - 1];
}

HANDLE PortLayer::AsHandle(long hPort) {
  return reinterpret_cast<HANDLE>(static_cast<INT_PTR>(hPort));
}

BSTR PortLayer::GetSystemMessage(const long& lngErrorCode) {
  try {
    char buffer[kMessageBufferChars] = {};
    // Insert sequences stay as they are: the call offers no insert values, so
    // none may be read.
    k_.FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                      static_cast<DWORD>(lngErrorCode), 0, buffer, kMessageBufferChars - 1,
                      nullptr);
    const std::wstring text = TrimSpaces(FromAnsi(buffer, strnlen(buffer, kMessageBufferChars)));
    return Bstr(text.c_str(), static_cast<UINT>(text.size())).release();
  } catch (...) {
    return nullptr;  // reports no failure of its own: the empty text
  }
}

long PortLayer::CommGetError(BSTR& strMessage) {
  try {
    std::wstring line = L"Error (" + std::to_wstring(CommError_.lngErrorCode) + L"): ";
    line += CommError_.strFunction.str();
    line += L" - ";
    line += CommError_.strErrorMessage.str();
    AssignBstr(strMessage, line);
  } catch (...) {
    // Out of memory for the line: the caller's text stays as it was.
  }
  return CommError_.lngErrorCode;
}

void PortLayer::Record(long code, const wchar_t* function, std::wstring message) {
  Bstr fn(function);
  Bstr msg(message.c_str(), static_cast<UINT>(message.size()));
  CommError_.lngErrorCode = code;
  CommError_.strFunction = std::move(fn);
  CommError_.strErrorMessage = std::move(msg);
}

long PortLayer::CommSetError(const wchar_t* strFunction) {
  // Called right after the failing call, so this is the value it left.
  const long code = static_cast<long>(k_.GetLastError());
  Bstr message = Bstr::Adopt(GetSystemMessage(code));
  Record(code, strFunction, message.str());
  return code;
}

long PortLayer::CommSetIoError(const wchar_t* strFunction, long hPort) {
  const long code = static_cast<long>(k_.GetLastError());
  std::wstring message = Bstr::Adopt(GetSystemMessage(code)).str();
  // Fetches and resets the port's error flags; their word goes into the text.
  DWORD errors = 0;
  COMSTAT stat{};
  if (!k_.ClearCommError(AsHandle(hPort), &errors, &stat)) errors = 0;
  message += kIoErrorFlags;
  message += UpperHex(errors);
  Record(code, strFunction, std::move(message));
  return code;
}

long PortLayer::RecordCaught(const wchar_t* strFunction) noexcept {
  const long number = CurrentCaughtFailure();
  try {
    Record(number, strFunction, CaughtFailureText(number));
  } catch (...) {
    // Not even the record could be written: keep at least the number.
    CommError_.lngErrorCode = number;
  }
  return number;
}

}  // namespace vemblaric
