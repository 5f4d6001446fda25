// The serial port layer of one control instance: four port slots, the record
// of the last failure, and the port primitives that work on a slot.
//
// The primitives never fail as calls. Each returns a Long and leaves every
// failure in the error record, which CommGetError turns into one line of text.
// No C++ exception leaves a member. Parameters keep the automation types
// (Integer = short, Long = long, Boolean = VARIANT_BOOL, String = BSTR) and
// the by-reference passing of the interface, so the dispatch layer calls these
// members unchanged.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

#include "port/kernel32.h"
#include "port/message_pump.h"
#include "port/text.h"

namespace vemblaric {

struct PortSlot {
  long hPort = 0;  // 0 never opened, -1 after a failed open
  VARIANT_BOOL blnPortOpen = VARIANT_FALSE;
  DCB udtDCB{};
  // The first bytes of a character whose last bytes have not been read yet
  // (at most one fewer than the code page's longest character); they go in
  // front of the next read's bytes. A close or a flush discards them.
  std::string heldBytes;
  // How many of them came in reads that completed no character, so that no
  // read has counted them yet: the read that completes their character does.
  size_t heldUncounted = 0;
};

struct ErrorRecord {
  long lngErrorCode = 0;
  Bstr strFunction;
  Bstr strErrorMessage;
};

class PortLayer {
 public:
  static constexpr int kSlots = 4;

  PortLayer(const Kernel32& kernel32, MessagePump& pump);
  // Closes every slot still open: a leaked exclusive handle would lock the
  // port until the host process exits.
  ~PortLayer();
  PortLayer(const PortLayer&) = delete;
  PortLayer& operator=(const PortLayer&) = delete;

  // Error record and messages.
  BSTR GetSystemMessage(const long& lngErrorCode);  // a new string the caller owns
  long CommGetError(BSTR& strMessage);

  // Opening, configuring, closing and flushing.
  long CommOpen(const short& intPortID, const BSTR& strPort, const BSTR& strSettings);
  long CommSet(const short& intPortID, const BSTR& strSettings);
  long CommClose(const short& intPortID);
  long CommFlush(const short& intPortID);

  // Reading and writing.
  long CommRead(const short& intPortID, BSTR& strData, const long& lngSize);
  long CommWrite(const short& intPortID, BSTR& strData);

  // Modem lines.
  long CommGetLine(const short& intPortID, const short& intLine, VARIANT_BOOL& blnState);
  long CommSetLine(const short& intPortID, const short& intLine, const VARIANT_BOOL& blnState);

  // Read-only views for the control and for tests.
  const PortSlot& CommPorts(int index) const { return CommPorts_[index - 1]; }
  const ErrorRecord& CommError() const { return CommError_; }
  const OVERLAPPED& Overlapped() const { return udtOverlapped_; }

 private:
  PortSlot& Slot(short intPortID);  // throws CaughtFailure 9 outside 1..4
  static HANDLE AsHandle(long hPort);

  // Records the system call that has just failed and returns its code.
  long CommSetError(const wchar_t* strFunction);
  long CommSetIoError(const wchar_t* strFunction, long hPort);
  // Records a caught failure under the member's own name; returns its number.
  long RecordCaught(const wchar_t* strFunction) noexcept;
  void Record(long code, const wchar_t* function, std::wstring message);

  // Waits for a transfer reported as pending; false on a failure other than
  // ERROR_IO_INCOMPLETE, with the count as the system last reported it.
  bool WaitPending(long hPort, DWORD& count);

  const Kernel32& k_;
  MessagePump& pump_;
  PortSlot CommPorts_[kSlots];
  ErrorRecord CommError_;
  OVERLAPPED udtOverlapped_{};
  // A write reported as pending is still in flight during its message pump;
  // a transfer started from there must not touch udtOverlapped or the buffer.
  bool transferInFlight_ = false;
};

}  // namespace vemblaric
