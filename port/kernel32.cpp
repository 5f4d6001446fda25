#include "port/kernel32.h"

namespace vemblaric {

const Kernel32& SystemKernel32() {
  static const Kernel32 table = {
      ::CreateFileA,      ::SetupComm,          ::PurgeComm,      ::SetCommTimeouts,
      ::GetCommState,     ::BuildCommDCBA,      ::SetCommState,   ::CloseHandle,
      ::ClearCommError,   ::ReadFile,           ::WriteFile,      ::GetOverlappedResult,
      ::GetCommModemStatus, ::EscapeCommFunction, ::GetLastError, ::FormatMessageA,
      ::SleepEx,          ::SetCommMask,        ::WaitCommEvent,  ::CancelIoEx,
  };
  return table;
}

}  // namespace vemblaric
