// Reading and writing: one synchronous transfer per call.
#include <algorithm>
#include <vector>

#include "port/caught_failure.h"
#include "port/port_layer.h"

namespace vemblaric {
namespace {

constexpr long kReceiveBufferBytes = 1024;
constexpr int kPumpsAfterCompletedWrite = 10;

void SetEmpty(BSTR& text) {
  ::SysFreeString(text);
  text = nullptr;
}

// Clears the in-flight mark however the transfer ends.
class InFlight {
 public:
  InFlight(bool& flag, bool value) : flag_(flag) { flag_ = value; }
  ~InFlight() { flag_ = false; }
  InFlight(const InFlight&) = delete;
  InFlight& operator=(const InFlight&) = delete;

 private:
  bool& flag_;
};

}  // namespace

bool PortLayer::WaitPending(long hPort, DWORD& count) {
  for (;;) {
    if (k_.GetOverlappedResult(AsHandle(hPort), &udtOverlapped_, &count, TRUE)) return true;
    if (k_.GetLastError() != ERROR_IO_INCOMPLETE) return false;
  }
}

long PortLayer::CommRead(const short& intPortID, BSTR& strData, const long& lngSize) {
  try {
    SetEmpty(strData);
    const bool openBeforePump = intPortID >= 1 && intPortID <= kSlots &&
                                CommPorts_[intPortID - 1].blnPortOpen != VARIANT_FALSE;
    pump_.DoEvents();
    // Host code run by the pump may have started a write that is still in flight.
    if (transferInFlight_) throw CaughtFailure{kInvalidProcedureCall};
    PortSlot& slot = Slot(intPortID);
    // Host code run by the pump closed this port: the read finds nothing, and
    // the close the host asked for is no failure of the read.
    if (openBeforePump && slot.blnPortOpen == VARIANT_FALSE) return 0;
    const long hPort = slot.hPort;
    HANDLE h = AsHandle(hPort);

    DWORD errors = 0;
    COMSTAT stat{};
    if (!k_.ClearCommError(h, &errors, &stat)) {
      CommSetError(L"CommRead (ClearCommError)");
      return -1;
    }
    const long queued = static_cast<long>(stat.cbInQue);
    if (queued <= 0) return 0;
    // At least lngSize bytes, and at least everything already queued. A large
    // lngSize on its own asks for one buffer's worth; a longer queue is taken
    // whole, so the receive loop never leaves data behind at high rates.
    const long wanted = std::min(lngSize, kReceiveBufferBytes);
    const long requested = queued > wanted ? queued : wanted;
    // The start of a character held back by the last read goes in front of
    // this read's bytes.
    const size_t held = slot.heldBytes.size();
    std::vector<char> buffer(held + static_cast<size_t>(std::max(requested, kReceiveBufferBytes)));
    std::copy(slot.heldBytes.begin(), slot.heldBytes.end(), buffer.begin());

    DWORD count = 0;
    if (!k_.ReadFile(h, buffer.data() + held, static_cast<DWORD>(requested), &count,
                     &udtOverlapped_)) {
      if (k_.GetLastError() != ERROR_IO_PENDING) {
        CommSetIoError(L"CommRead (ReadFile)", hPort);
        return -1;
      }
      if (!WaitPending(hPort, count)) {
        CommSetIoError(L"CommRead (GetOverlappedResult)", hPort);
        return -1;
      }
    }
    const size_t got = std::min(static_cast<size_t>(count), buffer.size() - held);
    if (got == 0) return 0;
    // A character split between reads is converted whole by the read that
    // completes it: converting the pieces apart gives wrong characters.
    const size_t bytes = held + got;
    const size_t whole = WholeAnsiCharacters(buffer.data(), bytes);
    AssignBstr(strData, FromAnsi(buffer.data(), whole));
    slot.heldBytes.assign(buffer.data() + whole, bytes - whole);
    // Bytes that complete no character are no text yet: this read reports
    // nothing, as if they were still queued, and the read that completes
    // their character counts them, so the counts add up to what arrived.
    if (whole == 0) {
      slot.heldUncounted += got;
      return 0;
    }
    const long taken = static_cast<long>(got + slot.heldUncounted);
    slot.heldUncounted = 0;
    return taken;
  } catch (...) {
    SetEmpty(strData);
    RecordCaught(L"CommRead");
    return -1;
  }
}

long PortLayer::CommWrite(const short& intPortID, BSTR& strData) {
  DWORD written = 0;
  try {
    // Host code may call in here from the pump of a write still in flight.
    if (transferInFlight_) throw CaughtFailure{kInvalidProcedureCall};
    PortSlot& slot = Slot(intPortID);
    const long hPort = slot.hPort;
    // Every byte of the ANSI form goes out, also where a character takes two.
    const std::string copy = ToAnsi(strData, ::SysStringLen(strData));

    DWORD error = 0;
    const BOOL ok = k_.WriteFile(AsHandle(hPort), copy.data(), static_cast<DWORD>(copy.size()),
                                 &written, &udtOverlapped_);
    if (!ok) error = k_.GetLastError();
    AssignBstr(strData, FromAnsi(copy.data(), copy.size()));
    {
      InFlight inFlight(transferInFlight_, !ok && error == ERROR_IO_PENDING);
      pump_.DoEvents();
    }
    if (!ok) {
      if (error == 0) return static_cast<long>(written);
      if (error != ERROR_IO_PENDING) {
        CommSetIoError(L"CommWrite (WriteFile)", hPort);
        return -1;
      }
      // The pump's host code ran while this transfer was in flight; the
      // record and the send copy are still this transfer's.
      if (!WaitPending(hPort, written)) {
        CommSetIoError(L"CommWrite (GetOverlappedResult)", hPort);
        return static_cast<long>(written);
      }
    }
    for (int i = 0; i < kPumpsAfterCompletedWrite; ++i) pump_.DoEvents();
    return static_cast<long>(written);
  } catch (...) {
    RecordCaught(L"CommWrite");
    return static_cast<long>(written);
  }
}

}  // namespace vemblaric
