// Opening, configuring, closing and flushing a port slot.
#include <cwchar>

#include "port/caught_failure.h"
#include "port/port_layer.h"

namespace vemblaric {
namespace {

constexpr DWORD kQueueBytes = 1024;
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr long kPortInUse = -1;
constexpr wchar_t kPortInUseText[] = L"Port in use.";

// Reads return what is queued at once, or wait up to a second for more;
// writes may take a second per character.
COMMTIMEOUTS PortTimeouts() {
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = MAXDWORD;
  t.ReadTotalTimeoutMultiplier = 0;
  t.ReadTotalTimeoutConstant = 1000;
  t.WriteTotalTimeoutMultiplier = 1000;
  t.WriteTotalTimeoutConstant = 0;
  return t;
}

std::string Ansi(const BSTR& text) { return ToAnsi(text, ::SysStringLen(text)); }

// The system reads a name or settings text only up to its first NUL, so a
// text holding one would act as a shorter text than the caller gave.
void RequireNoNul(const BSTR& text) {
  const UINT length = ::SysStringLen(text);
  if (length && std::wmemchr(text, L'\0', length)) throw CaughtFailure{kInvalidProcedureCall};
}

void DiscardHeldBytes(PortSlot& slot) {
  slot.heldBytes.clear();
  slot.heldUncounted = 0;
}

}  // namespace

long PortLayer::CommOpen(const short& intPortID, const BSTR& strPort, const BSTR& strSettings) {
  try {
    PortSlot& slot = Slot(intPortID);
    RequireNoNul(strPort);
    RequireNoNul(strSettings);
    if (slot.blnPortOpen) {
      Record(kPortInUse, L"CommOpen", kPortInUseText);
      return kPortInUse;
    }
    const std::string name = Ansi(strPort);
    const std::string settings = Ansi(strSettings);

    HANDLE h = k_.CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    slot.hPort = static_cast<long>(reinterpret_cast<INT_PTR>(h));
    if (h == INVALID_HANDLE_VALUE) return CommSetError(L"CommOpen (CreateFile)");
    // From here on the slot holds the handle, whatever the configuration gives;
    // CommOpen never closes what it opened.
    slot.blnPortOpen = VARIANT_TRUE;

    if (!k_.SetupComm(h, kQueueBytes, kQueueBytes)) return CommSetError(L"CommOpen (SetupComm)");
    if (!k_.PurgeComm(h, kPurgeAll)) return CommSetError(L"CommOpen (PurgeComm)");
    COMMTIMEOUTS timeouts = PortTimeouts();
    if (!k_.SetCommTimeouts(h, &timeouts)) return CommSetError(L"CommOpen (SetCommTimeouts)");
    if (!k_.GetCommState(h, &slot.udtDCB)) return CommSetError(L"CommOpen (GetCommState)");
    if (!k_.BuildCommDCBA(settings.c_str(), &slot.udtDCB))
      return CommSetError(L"CommOpen (BuildCommDCB)");
    if (!k_.SetCommState(h, &slot.udtDCB)) return CommSetError(L"CommOpen (SetCommState)");
    return 0;
  } catch (...) {
    return RecordCaught(L"CommOpen");
  }
}

long PortLayer::CommSet(const short& intPortID, const BSTR& strSettings) {
  try {
    PortSlot& slot = Slot(intPortID);
    RequireNoNul(strSettings);
    const std::string settings = Ansi(strSettings);
    HANDLE h = AsHandle(slot.hPort);
    if (!k_.GetCommState(h, &slot.udtDCB)) return CommSetError(L"CommSet (GetCommState)");
    if (!k_.BuildCommDCBA(settings.c_str(), &slot.udtDCB))
      return CommSetError(L"CommSet (BuildCommDCB)");
    if (!k_.SetCommState(h, &slot.udtDCB)) return CommSetError(L"CommSet (SetCommState)");
    return 0;
  } catch (...) {
    return RecordCaught(L"CommSet");
  }
}

long PortLayer::CommClose(const short& intPortID) {
  try {
    PortSlot& slot = Slot(intPortID);
    if (!slot.blnPortOpen) return 0;
    if (!k_.CloseHandle(AsHandle(slot.hPort))) return CommSetError(L"CommClose (CloseHandle)");
    slot.blnPortOpen = VARIANT_FALSE;
    DiscardHeldBytes(slot);
    // The value may now name another object; later calls on this slot fail
    // with the invalid-handle error, as on a never-opened slot.
    slot.hPort = 0;
    return 0;
  } catch (...) {
    return RecordCaught(L"CommClose");
  }
}

long PortLayer::CommFlush(const short& intPortID) {
  try {
    PortSlot& slot = Slot(intPortID);
    if (!k_.PurgeComm(AsHandle(slot.hPort), kPurgeAll)) return CommSetError(L"CommFlush (PurgeComm)");
    // Half a character from before the purge would spoil the first one after it.
    DiscardHeldBytes(slot);
    return 0;
  } catch (...) {
    return RecordCaught(L"CommFlush");
  }
}

}  // namespace vemblaric
