// Reading, writing and the receive loop, with the two events.
#include "control/failure_status.h"
#include "control/module1.h"
#include "control/serial_control.h"

namespace vemblaric {
namespace {

constexpr long kReadSize = 64;
constexpr long kWritePauseMs = 100;
constexpr long kPassPauseMs = 20;

// Marks this control's loop as running for as long as it runs, however it ends.
class LoopMark {
 public:
  explicit LoopMark(bool& running) : running_(running) { running_ = true; }
  ~LoopMark() { running_ = false; }
  LoopMark(const LoopMark&) = delete;
  LoopMark& operator=(const LoopMark&) = delete;

 private:
  bool& running_;
};

}  // namespace

HRESULT SerialControl::Read_Com() {
  try {
    Module1State& m = Module1();
    // CommRead fills the shared record's string in place, through its slot.
    BSTR& strReceived = *m.strReceived.put();
    long size = kReadSize;
    long result = 0;
    const HRESULT hr = CommRead(&Port_, &strReceived, &size, &result);
    if (FAILED(hr)) return hr;
    m.lngStatus = result;
    if (m.lngStatus > 0) {
      Buffer_ = m.strReceived;  // replaces, never appends
      Status_ = VARIANT_TRUE;
    } else if (m.lngStatus < 0) {
      Status_ = VARIANT_FALSE;
    }
    return S_OK;
  } catch (...) {
    return CaughtStatus();
  }
}

HRESULT SerialControl::Write_Com(BSTR Datastr) {
  try {
    // DataSent refers to this copy, so a handler's assignment dies with it.
    Bstr copy;
    BSTR& datasentstr = *copy.put();
    AssignBstr(datasentstr, Datastr, ::SysStringLen(Datastr));

    Module1().intLoopStop = kLoopStop;
    long pause = kWritePauseMs;
    HRESULT hr = waitnow(&pause);
    if (FAILED(hr)) return hr;

    // The write is whole when every byte of the ANSI form went out. The length
    // is kept here as well: a Write_Com run by host code from CommWrite's pump
    // overwrites the shared lngWriteLength.
    const long length = static_cast<long>(ToAnsi(datasentstr, ::SysStringLen(datasentstr)).size());
    Module1().lngWriteLength = length;
    long result = 0;
    hr = CommWrite(&Port_, &datasentstr, &result);
    if (FAILED(hr)) return hr;
    Module1().lngStatus = result;

    if (result != length) {
      // A write that did not go out whole starts no loop, so its failure
      // stays the last one in the error record.
      Status_ = VARIANT_FALSE;
      return S_OK;
    }
    Status_ = VARIANT_TRUE;
    // The flag is lowered before DataSent, so a Close_Com from the handler
    // ends the loop that this write is about to start.
    ArmLoop();
    host_.RaiseEvent(kDataSent, &datasentstr);
    return looprocess();
  } catch (...) {
    return CaughtStatus();
  }
}

HRESULT SerialControl::looprocess() {
  // One loop per control: a Write_Com or Open_Com from this control's own
  // handler returns here at once, and the running loop goes on.
  if (loopRunning_) return S_OK;
  LoopMark mark(loopRunning_);
  // The loop runs while someone listens to a port that works. A close or a
  // disconnect from a handler or a pump ends it before the next pass, with
  // nothing put in the error record.
  while (Module1().intLoopStop < kLoopStop && Listened()) {
    pump_.DoEvents();
    bool readFailed = false;
    // A port closed or a sink disconnected by the pump is not read: what
    // arrived stays queued rather than going to nobody.
    if (Listened()) {
      HRESULT hr = Read_Com();
      if (FAILED(hr)) return hr;
      const long got = Module1().lngStatus;
      readFailed = got < 0;
      // Only this pass's own read raises the event, and the loop never purges:
      // text that arrives after the read waits for the next pass, and unsent
      // output stays queued.
      if (got > 0) host_.RaiseEvent(kDataArrived, Buffer_.slot());  // Buffer itself
    }
    long pause = kPassPauseMs;
    HRESULT hr = waitnow(&pause);
    if (FAILED(hr)) return hr;
    // A failed read is the last pass: Status is False and the error record
    // tells the host, when Open_Com or Write_Com returns, why the loop ended.
    if (readFailed) break;
  }
  return S_OK;
}

bool SerialControl::Listened() {
  return host_.HasEventSinks() && Port_ >= 1 && Port_ <= PortLayer::kSlots &&
         ports_.CommPorts(Port_).blnPortOpen;
}

}  // namespace vemblaric
