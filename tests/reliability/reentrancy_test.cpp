// The re-entrancy matrix: from every place where host code runs inside the
// control (DataArrived, DataSent, the message pump of Write_Com's transfer,
// the receive loop's pump), each call that can end or restart the loop. The
// outcome follows the loop's rules: it runs while somebody listens to a port
// that is open, so closing the port or disconnecting the last sink ends it,
// the host letting go ends it and destroys the control, and reopening or
// writing keeps it going with every byte the peer sends delivered once and
// in order. Nothing crashes, and the error record keeps what it held.
//
// COM1 is the control's, its peer is COM2 on the bench. Outside the control's
// calls the host window's timer sends the peer's bytes, and ends (as a failure)
// any loop that should have ended long ago.
#include <chrono>
#include <string>

#include "reliability.h"
#include "com/module.h"
#include "control_object/control_object.h"
#include "support/com_test.h"
#include "support/nullmodem.h"

namespace vemblaric {
namespace {

using testing::ComApartment;
using testing::Ptr;
using testing::Sink;
using testing::Str;

enum class Trigger { kDataArrived, kDataSent, kWritePump, kLoopPump };
enum class Action { kCloseCom, kCommClose, kOpenCom, kWriteCom, kDisconnect, kRelease };

struct Row {
  Action action;
  const char* name;
  const char* outcome;  // the same from every trigger
};

constexpr char kRunsOn[] =
    "loop runs on, every byte once and in order; Status True; error record kept";

const Row kRows[] = {
    {Action::kCloseCom, "Close_Com", "loop ended; port closed; Status True; error record kept"},
    {Action::kCommClose, "CommClose", "loop ended; port closed; Status True; error record kept"},
    {Action::kOpenCom, "Open_Com", kRunsOn},
    {Action::kWriteCom, "Write_Com", kRunsOn},
    {Action::kDisconnect, "disconnecting the sink", "loop ended; port open; Status True; error record kept"},
    {Action::kRelease, "releasing the last reference", "loop ended; control destroyed; port free"},
};

const struct {
  Trigger trigger;
  const char* name;
} kTriggers[] = {{Trigger::kDataArrived, "DataArrived"},
                 {Trigger::kDataSent, "DataSent"},
                 {Trigger::kWritePump, "Write_Com's pump"},
                 {Trigger::kLoopPump, "the loop's pump"}};

constexpr DISPID kArrived = 1, kSent = 2;
constexpr DWORD kRescueAfterMs = 5000;

std::wstring ErrorLine(_SerialControl* control) {
  BSTR line = nullptr;
  long code = 0;
  control->CommGetError(&line, &code);
  const std::wstring text = Str(line);
  ::SysFreeString(line);
  return text;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

SerialControl& Inside(_SerialControl* control) {
  return static_cast<control_object::ControlObject*>(control)->control();
}

// Bytes the peer sends once the action is done: 192 of them, no two
// neighbours alike, so a lost, doubled or reordered piece shows.
std::wstring Payload() {
  std::wstring text;
  for (int i = 0; i < 192; ++i) text += static_cast<wchar_t>(L'!' + i % 90);
  return text;
}

// One case: the control on COM1 with a sink, the host's call that runs the
// loop, and the action run once from the trigger. Returns what the host sees.
std::string RunCase(Trigger trigger, Action action) {
  testing::RealPort peer;
  if (peer.Open(2) != 0) return "the peer's COM2 does not open";
  _SerialControl* raw = nullptr;  // the host's only reference
  if (FAILED(control_object::CreateSerialControl(IID__SerialControl,
                                                 reinterpret_cast<void**>(&raw))))
    return "no control";
  raw->put_Port(1);
  raw->put_Baud(57600);
  // Where the host writes, it has opened the port before it connected the
  // sink: nobody listened yet, so Open_Com returned at once.
  const bool writes = trigger == Trigger::kDataSent || trigger == Trigger::kWritePump;
  VARIANT_BOOL opened = VARIANT_FALSE;
  if (writes && (FAILED(raw->Open_Com()) || FAILED(raw->get_Status(&opened)) || !opened))
    return "COM1 does not open";

  // Connected by hand: a connection point held here would hold the control.
  Sink sink(DIID___SerialControl);
  DWORD cookie = 0;
  auto point = [&] {
    Ptr<IConnectionPointContainer> container;
    raw->QueryInterface(IID_IConnectionPointContainer, container.put_void());
    Ptr<IConnectionPoint> p;
    container->FindConnectionPoint(DIID___SerialControl, p.put());
    return p;
  };
  point()->Advise(&sink, &cookie);

  const std::wstring payload = Payload();
  std::wstring received, errorBefore;
  bool acted = false, released = false, triggerSent = false, payloadSent = false;
  bool endedByHost = false;
  int rescues = 0;
  DWORD since = ::GetTickCount();

  auto act = [&] {
    acted = true;
    since = ::GetTickCount();
    errorBefore = ErrorLine(raw);
    switch (action) {
      case Action::kCloseCom: raw->Close_Com(); break;
      case Action::kCommClose: {
        short id = 1;
        long result = 0;
        raw->CommClose(&id, &result);
        break;
      }
      case Action::kOpenCom: raw->Open_Com(); break;  // may run its own loop in here
      case Action::kWriteCom: {
        BSTR text = ::SysAllocString(L"w2");
        raw->Write_Com(text);
        ::SysFreeString(text);
        break;
      }
      case Action::kDisconnect: point()->Unadvise(cookie); break;
      case Action::kRelease:
        released = true;
        raw->Release();  // alive only while the control's own calls hold it
        break;
    }
  };
  sink.handler = [&](DISPID event, BSTR* text) {
    if (event == kArrived && acted && !released && !endedByHost) {
      received += Str(*text);
      if (received.size() >= payload.size()) {
        endedByHost = true;  // all in: the host ends the loop
        raw->Close_Com();
      }
    }
    if (!acted && ((trigger == Trigger::kDataArrived && event == kArrived) ||
                   (trigger == Trigger::kDataSent && event == kSent)))
      act();
  };
  testing::HostWindow host;
  host.handler = [&](UINT message) {
    if (message == WM_APP) {
      if (!acted) act();
      return;
    }
    // Timer ticks: what the peer sends, once the loop reads.
    const bool reading = !released && Inside(raw).LoopRunning() &&
                         Inside(raw).Ports().CommPorts(1).blnPortOpen;
    if (trigger == Trigger::kDataArrived && !triggerSent && reading) {
      triggerSent = true;
      peer.Write(2, std::wstring(64, L'a'));
    }
    if (acted && !payloadSent && reading) {
      payloadSent = true;
      peer.Write(2, payload);
    }
    if (::GetTickCount() - since > kRescueAfterMs) {
      ++rescues;  // a loop that should have ended long ago
      raw->Close_Com();
      since = ::GetTickCount();  // again later, should a loop start anew
    }
  };
  host.Tick(10);
  if (trigger == Trigger::kWritePump || trigger == Trigger::kLoopPump) host.Post(WM_APP);

  _SerialControl* caller = raw;
  if (writes) {
    BSTR text = ::SysAllocString(L"w1");
    caller->Write_Com(text);
    ::SysFreeString(text);
  } else {
    caller->Open_Com();
  }
  host.StopTicking();

  std::string out;
  if (!acted) return "the trigger never came";
  if (rescues) out = "loop never ended";
  else if (!endedByHost) out = "loop ended";
  else if (received == payload) out = "loop runs on, every byte once and in order";
  else out = "loop runs on, but " + std::to_string(received.size()) + " bytes arrived";

  if (released) {
    testing::RealPort again;
    out += com::CanUnload() ? "; control destroyed" : "; control alive";
    out += again.Open(1) == 0 ? "; port free" : "; port held";
    return out;
  }
  if (!endedByHost)
    out += Inside(raw).Ports().CommPorts(1).blnPortOpen ? "; port open" : "; port closed";
  VARIANT_BOOL status = VARIANT_FALSE;
  raw->get_Status(&status);
  out += status ? "; Status True" : "; Status False";
  const std::wstring errorAfter = ErrorLine(raw);
  out += errorAfter == errorBefore ? "; error record kept"
                                   : "; error record now " + Narrow(errorAfter);
  if (action != Action::kDisconnect) point()->Unadvise(cookie);
  short id = 1;
  long result = 0;
  raw->CommClose(&id, &result);
  if (raw->Release() != 0) out += "; control still referenced";
  return out;
}

using ReentrancyMatrix = ComApartment;

TEST_F(ReentrancyMatrix, EachCallFromEachPlaceOfHostCodeGivesTheLoopsOutcome) {
  std::atomic<long> cases{0};
  testing::Watchdog watchdog(std::chrono::seconds(60), cases, "the re-entrancy matrix");
  for (const auto& t : kTriggers) {
    for (const Row& row : kRows) {
      SCOPED_TRACE(std::string(row.name) + " from " + t.name);
      EXPECT_EQ(RunCase(t.trigger, row.action), row.outcome);
      EXPECT_TRUE(com::CanUnload()) << "a control outlived its case";
      ++cases;
    }
  }
}

}  // namespace
}  // namespace vemblaric
