// Modem status inputs and the DTR, RTS and break outputs.
#include "port/caught_failure.h"
#include "port/port_layer.h"

namespace vemblaric {
namespace {

enum Line : short { kBreak = 1, kDtr = 2, kRts = 3 };

// The EscapeCommFunction code for a line and state; 0 names no function and is
// passed on all the same, so the system reports it.
DWORD EscapeCode(short intLine, VARIANT_BOOL blnState) {
  const bool on = blnState != 0;
  switch (intLine) {
    case kBreak: return on ? SETBREAK : CLRBREAK;
    case kDtr: return on ? SETDTR : CLRDTR;
    case kRts: return on ? SETRTS : CLRRTS;
    default: return 0;
  }
}

}  // namespace

long PortLayer::CommGetLine(const short& intPortID, const short& intLine, VARIANT_BOOL& blnState) {
  try {
    PortSlot& slot = Slot(intPortID);
    DWORD status = 0;
    if (!k_.GetCommModemStatus(AsHandle(slot.hPort), &status))
      return CommSetError(L"CommReadCD (GetCommModemStatus)");
    // The mask is widened with its sign, so -1 tests every bit.
    const DWORD mask = static_cast<DWORD>(static_cast<long>(intLine));
    blnState = (mask & status) ? VARIANT_TRUE : VARIANT_FALSE;
    return 0;
  } catch (...) {
    return RecordCaught(L"CommReadCD");
  }
}

long PortLayer::CommSetLine(const short& intPortID, const short& intLine,
                            const VARIANT_BOOL& blnState) {
  try {
    const DWORD code = EscapeCode(intLine, blnState);
    PortSlot& slot = Slot(intPortID);
    if (!k_.EscapeCommFunction(AsHandle(slot.hPort), code))
      return CommSetError(L"CommSetLine (EscapeCommFunction)");
    return 0;
  } catch (...) {
    return RecordCaught(L"CommSetLine");
  }
}

}  // namespace vemblaric
