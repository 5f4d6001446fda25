// Reading, writing and the receive loop, with the two events.
//
// A thread has at most one receive loop, and it serves every control on the
// thread that listens: whose Open_Com or whole Write_Com, with a sink
// connected, called looprocess, and which has not left since. A control that
// starts listening while the loop runs further up the stack joins it and
// returns at once; otherwise its call runs the loop until nobody listens. A
// control that left gets no further turn, not even later in the same pass.
#include <algorithm>
#include <vector>

#include "control/failure_status.h"
#include "control/module1.h"
#include "control/serial_control.h"

namespace vemblaric {
namespace {

constexpr long kReadSize = 64;
constexpr long kWritePauseMs = 100;
constexpr long kPassPauseMs = 20;

// Marks the thread's loop as running for as long as it runs, however it ends.
class LoopMark {
 public:
  explicit LoopMark(bool& running) : running_(running) { running_ = true; }
  ~LoopMark() { running_ = false; }
  LoopMark(const LoopMark&) = delete;
  LoopMark& operator=(const LoopMark&) = delete;

 private:
  bool& running_;
};

// Holds a control across its turn: its handler may release it.
class Held {
 public:
  explicit Held(HostSite& host) : host_(host) { host_.KeepAlive(); }
  ~Held() { host_.LetGo(); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;

 private:
  HostSite& host_;
};

bool Listens(const std::vector<SerialControl*>& listeners, const SerialControl* control) {
  return std::find(listeners.begin(), listeners.end(), control) != listeners.end();
}

}  // namespace

HRESULT SerialControl::Read_Com() {
  try {
    Module1State* record = Module1();
    if (!record) return E_OUTOFMEMORY;
    Module1State& m = *record;
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
    Module1State* m = Module1();
    if (!m) return E_OUTOFMEMORY;
    // DataSent refers to this copy, so a handler's assignment dies with it.
    Bstr copy;
    BSTR& datasentstr = *copy.put();
    AssignBstr(datasentstr, Datastr, ::SysStringLen(Datastr));

    // Until its write went out whole the control does not listen; a whole
    // write joins it again where it was.
    StopListening(*m);
    long pause = kWritePauseMs;
    HRESULT hr = waitnow(&pause);
    if (FAILED(hr)) return hr;

    // The write is whole when every byte of the ANSI form went out. The length
    // is kept here as well: a Write_Com run by host code from CommWrite's pump
    // overwrites the shared lngWriteLength.
    const long length = static_cast<long>(ToAnsi(datasentstr, ::SysStringLen(datasentstr)).size());
    m->lngWriteLength = length;
    long result = 0;
    hr = CommWrite(&Port_, &datasentstr, &result);
    if (FAILED(hr)) return hr;
    m->lngStatus = result;

    if (result != length) {
      // A write that did not go out whole starts no loop, so its failure
      // stays the last one in the error record.
      Status_ = VARIANT_FALSE;
      return S_OK;
    }
    Status_ = VARIANT_TRUE;
    // The flag is lowered before DataSent, so a Close_Com from the handler
    // ends the loop that this write is about to start.
    ArmLoop(*m);
    host_.RaiseEvent(kDataSent, &datasentstr);
    return looprocess();
  } catch (...) {
    return CaughtStatus();
  }
}

HRESULT SerialControl::looprocess() {
  try {
    Module1State* record = Module1();
    if (!record) return E_OUTOFMEMORY;
    Module1State& m = *record;
    // Someone must listen to a port that works, and a host that let go
    // listens to nothing.
    if (hostGone_ || m.intLoopStop >= kLoopStop || !Listened()) return S_OK;
    if (!joined_) {
      m.listeners.push_back(this);
      joined_ = true;
    }
    listening_ = Listening::kYes;
    // Joining instead of nesting: a Write_Com or Open_Com from a handler or a
    // pump returns here at once, and the running loop serves this control
    // from its next turn on.
    if (m.loopRunning) return S_OK;
    return RunLoop(m);
  } catch (...) {
    return CaughtStatus();
  }
}

HRESULT SerialControl::RunLoop(Module1State& m) {
  LoopMark running(m.loopRunning);
  HRESULT hr = S_OK;
  try {
    while (DropLeavers(m)) {
      pump_.DoEvents();
      // Each listener in the order they joined. A handler may close, open,
      // release or disconnect any control; one destroyed since the pass
      // began has left the list, and one that left otherwise is skipped by
      // its turn.
      const std::vector<SerialControl*> turns = m.listeners;
      for (SerialControl* control : turns) {
        if (!Listens(m.listeners, control)) continue;
        Held held(control->host_);
        hr = control->Serve(m);
        if (FAILED(hr)) break;
      }
      if (FAILED(hr)) break;
      long pause = kPassPauseMs;
      hr = waitnow(&pause);
      if (FAILED(hr)) break;
    }
  } catch (...) {
    hr = CaughtStatus();
  }
  if (FAILED(hr)) {
    // A member that failed as a call stops the loop at once, for everyone:
    // nobody is left listening to a loop that no longer runs.
    for (SerialControl* control : m.listeners) {
      control->joined_ = false;
      control->listening_ = Listening::kNo;
    }
    m.listeners.clear();
  }
  return hr;
}

HRESULT SerialControl::Serve(Module1State& m) {
  // A control that left, or whose port was closed or sink disconnected,
  // since the pass began is not read: what arrived stays queued rather than
  // going to a host that is going away, or to nobody.
  if (listening_ == Listening::kNo || !Listened()) return S_OK;
  const HRESULT hr = Read_Com();
  if (FAILED(hr)) return hr;
  const long got = m.lngStatus;
  // A failed read is this control's last: Status is False and the error
  // record tells the host, when its Open_Com or Write_Com returns, why.
  if (got < 0) listening_ = Listening::kNo;
  // Only this turn's own read raises the event, and the loop never purges:
  // text that arrives after the read waits for the next pass, and unsent
  // output stays queued. A control that left in its read's own pump raises
  // nothing; what the read took stays in Buffer.
  if (got > 0 && listening_ != Listening::kNo && Listened())
    host_.RaiseEvent(kDataArrived, Buffer_.slot());  // Buffer itself
  return S_OK;
}

bool SerialControl::DropLeavers(Module1State& m) {
  std::vector<SerialControl*>& listeners = m.listeners;
  for (size_t i = 0; i < listeners.size();) {
    SerialControl* control = listeners[i];
    if (control->listening_ == Listening::kYes && control->Listened()) {
      ++i;
      continue;
    }
    control->joined_ = false;
    control->listening_ = Listening::kNo;
    listeners.erase(listeners.begin() + static_cast<std::ptrdiff_t>(i));
  }
  return !listeners.empty();
}

bool SerialControl::Listened() {
  return host_.HasEventSinks() && Port_ >= 1 && Port_ <= PortLayer::kSlots &&
         ports_.CommPorts(Port_).blnPortOpen;
}

bool SerialControl::LoopRunning() const {
  const Module1State* m = Module1();
  return joined_ && m && m->loopRunning;
}

void SerialControl::StopListening(Module1State& m) {
  m.intLoopStop = kLoopStop;
  listening_ = Listening::kNo;
}

SerialControl::~SerialControl() {
  Module1State* m = joined_ ? Module1() : nullptr;  // a control that joined has one
  if (!m) return;
  std::vector<SerialControl*>& listeners = m->listeners;
  listeners.erase(std::remove(listeners.begin(), listeners.end(), this), listeners.end());
}

}  // namespace vemblaric
