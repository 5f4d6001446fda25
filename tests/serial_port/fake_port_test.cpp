// SerialPort on the scripted kernel32, for what the bench's ptys cannot
// produce: modem lines and communication events, line errors, refusals at
// open, transfers that complete later, a device that fails under the
// watcher, and the device control block each setting makes. Events come
// from the watcher's notices, so each test pumps this thread's messages as a
// host does, until what it waits for has been counted (bounded).
#include <atomic>
#include <functional>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <dbt.h>

#include "serial_port/port_device.h"
#include "serial_port/serial_port_object.h"
#include "support/com_test.h"
#include "support/fake_kernel32.h"

namespace vemblaric {
namespace {

using serial_port::SerialPortObject;
using testing::FakeAnswer;
using testing::FakeKernel32;
using testing::Ptr;

constexpr DISPID kDataReceived = 1, kPinChanged = 2, kErrorReceived = 3, kPortsChanged = 4,
                 kReconnected = 5;
constexpr HRESULT kWrongState = static_cast<HRESULT>(0x8000000EL);

struct Event {
  DISPID id;
  LONG value;
  bool operator==(const Event& o) const { return id == o.id && value == o.value; }
};
void PrintTo(const Event& e, std::ostream* os) { *os << "{" << e.id << ", 0x" << std::hex << e.value << "}"; }

// Records ISerialPortEvents as they are raised.
class PortEvents final : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IDispatch) ||
        ::IsEqualIID(riid, DIID_ISerialPortEvents)) {
      *ppv = static_cast<IDispatch*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // lives in the fixture
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override { *n = 0; return S_OK; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                   EXCEPINFO*, UINT*) override {
    const UINT arguments = id == kPortsChanged || id == kReconnected ? 0 : 1;
    if (params->cArgs != arguments || (arguments && params->rgvarg[0].vt != VT_I4)) {
      ADD_FAILURE() << "event " << id << " without " << arguments << " Long";
      return DISP_E_BADPARAMCOUNT;
    }
    if (id != kDataReceived) received.push_back({id, arguments ? params->rgvarg[0].lVal : 0});
    return S_OK;
  }
  std::vector<Event> received;  // the pins and errors; DataReceived is the bench's to test
};

// Pumps this thread's messages until `done` holds; false after `ms`.
bool PumpUntil(const std::function<bool()>& done, DWORD ms = 5000) {
  const ULONGLONG start = ::GetTickCount64();
  for (;;) {
    MSG m;
    while (::PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&m);
    if (done()) return true;
    if (::GetTickCount64() - start > ms) return false;
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
}

std::wstring LastDescription() {
  Ptr<IErrorInfo> info;
  if (::GetErrorInfo(0, info.put()) != S_OK || !info) return L"";
  Bstr text;
  info->GetDescription(text.put());
  return text.get() ? text.get() : L"";
}

std::wstring SystemText(DWORD error) {
  wchar_t text[512] = {};
  ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                   text, 512, nullptr);
  std::wstring out(text);
  while (!out.empty() && (out.back() == L'\n' || out.back() == L'\r' || out.back() == L' '))
    out.pop_back();
  return out;
}

FakeAnswer Failing(DWORD error) {
  FakeAnswer a;
  a.ok = FALSE;
  a.error = error;
  return a;
}

class FakePort : public testing::ComApartment {
 protected:
  void SetUp() override {
    ComApartment::SetUp();
    ASSERT_HRESULT_SUCCEEDED(SerialPortObject::CreateWith(fake.table(), IID_ISerialPort, port.put_void()));
    listening = std::make_unique<testing::Connection>(port.get(), DIID_ISerialPortEvents, &events);
  }
  void TearDown() override {
    listening.reset();
    port.reset();  // ends the watcher before the fake goes
    ComApartment::TearDown();
  }

  size_t Count(const char* function) const { return fake.named(function).size(); }
  // Until the watcher has made `more` calls of `function` after this one's.
  bool WatcherCalls(const char* function, size_t more) {
    const size_t target = Count(function) + more;
    return PumpUntil([&] { return Count(function) >= target; });
  }
  std::vector<LONG> Pins() const {
    std::vector<LONG> pins;
    for (const Event& e : events.received)
      if (e.id == kPinChanged) pins.push_back(e.value);
    return pins;
  }
  bool IsOpen() {
    VARIANT_BOOL open = VARIANT_TRUE;
    EXPECT_HRESULT_SUCCEEDED(port->get_IsOpen(&open));
    return open != VARIANT_FALSE;
  }

  // Properties by name, as a script sets them: the member's status, or the
  // one its exception carries.
  HRESULT Put(const wchar_t* name, LONG value) {
    Ptr<IDispatch> dispatch = port.As<IDispatch>(IID_IDispatch);
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
    if (FAILED(hr)) return hr;
    VARIANT arg;
    arg.vt = VT_I4;
    arg.lVal = value;
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params = {&arg, &put, 1, 1};
    EXCEPINFO exception{};
    hr = dispatch->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, &exception, nullptr);
    if (hr == DISP_E_EXCEPTION) hr = exception.scode;
    ::SysFreeString(exception.bstrSource);
    ::SysFreeString(exception.bstrDescription);
    ::SysFreeString(exception.bstrHelpFile);
    return hr;
  }
  LONG Get(const wchar_t* name) {
    Ptr<IDispatch> dispatch = port.As<IDispatch>(IID_IDispatch);
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    EXPECT_HRESULT_SUCCEEDED(dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, &id));
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    VARIANT result;
    ::VariantInit(&result);
    EXPECT_HRESULT_SUCCEEDED(
        dispatch->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr));
    EXPECT_HRESULT_SUCCEEDED(::VariantChangeType(&result, &result, 0, VT_I4));
    return result.lVal;
  }

  FakeKernel32 fake;
  Ptr<ISerialPort> port;
  PortEvents events;
  std::unique_ptr<testing::Connection> listening;
};

// --- Pins ----------------------------------------------------------------------

// Where the driver has no event wait, the watcher compares the modem lines
// each look; a break shows only as its line-error flag. Each change is
// reported once, in the published order; a ring only as it starts.
TEST_F(FakePort, PollingRaisesPinChangedOnceForEachLineThatChanged) {
  const struct {
    const char* what;
    DWORD from;    // the lines at the opening
    DWORD modem;   // the lines from then on
    DWORD errors;  // one look's error word
    std::vector<LONG> pins;
  } cases[] = {
      {"CTS", 0, MS_CTS_ON, 0, {serialPinCts}},
      {"DSR", 0, MS_DSR_ON, 0, {serialPinDsr}},
      {"carrier", 0, MS_RLSD_ON, 0, {serialPinCD}},
      {"ring", 0, MS_RING_ON, 0, {serialPinRing}},
      {"break", 0, 0, CE_BREAK, {serialPinBreak}},
      {"CTS, DSR and carrier together", 0, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON, 0,
       {serialPinCts, serialPinDsr, serialPinCD}},
      {"CTS and carrier drop", MS_CTS_ON | MS_RLSD_ON | MS_DSR_ON, MS_DSR_ON, 0,
       {serialPinCts, serialPinCD}},
      {"the ring ends", MS_RING_ON, 0, 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeAnswer opening;
    opening.modem = c.from;
    fake.Default("GetCommModemStatus", opening);
    ASSERT_HRESULT_SUCCEEDED(port->Open());
    // The watcher's first reading of the lines is the state changes are seen from.
    ASSERT_TRUE(PumpUntil([&] { return Count("GetCommModemStatus") >= 1; }));
    events.received.clear();
    FakeAnswer lines;
    lines.modem = c.modem;
    fake.Default("GetCommModemStatus", lines);
    if (c.errors) {
      FakeAnswer error;
      error.errors = c.errors;
      fake.Next("ClearCommError", error);
    }
    ASSERT_TRUE(PumpUntil([&] { return Pins().size() >= c.pins.size(); }));
    ASSERT_TRUE(WatcherCalls("ClearCommError", 3));  // looks that see no further change
    EXPECT_EQ(Pins(), c.pins);
    EXPECT_EQ(events.received.size(), c.pins.size()) << "no ErrorReceived for a pin";
    port->Close();
    fake.ClearCalls();
  }
}

// Where the driver waits for communication events, their pin bits are the
// events, whether the wait answers at once or completes later; the event
// that is not a pin (bytes arrived) raises no PinChanged.
TEST_F(FakePort, EventWaitRaisesPinChangedForEachPinEvent) {
  const struct {
    DWORD mask;
    bool later;  // the wait is pending and completes afterwards
    std::vector<LONG> pins;
  } cases[] = {
      {EV_CTS, false, {serialPinCts}},
      {EV_DSR, false, {serialPinDsr}},
      {EV_RLSD, false, {serialPinCD}},
      {EV_BREAK, false, {serialPinBreak}},
      {EV_RING, false, {serialPinRing}},
      {EV_RING | EV_RXCHAR | EV_CTS, false, {serialPinCts, serialPinRing}},
      {EV_DSR | EV_BREAK, true, {serialPinDsr, serialPinBreak}},
  };
  // From the first event on, each further wait is pending until cancelled; a
  // cancel completes it as the system does, so closing does not wait it out.
  FakeAnswer pending = Failing(ERROR_IO_PENDING);
  fake.Default("WaitCommEvent", pending);
  FakeAnswer cancel;
  cancel.during = [this] {
    const auto waits = fake.named("WaitCommEvent");
    if (!waits.empty()) ::SetEvent(static_cast<const OVERLAPPED*>(waits.back().overlapped)->hEvent);
  };
  fake.Default("CancelIoEx", cancel);
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "mask 0x" << std::hex << c.mask << (c.later ? ", later" : ""));
    events.received.clear();
    FakeAnswer first;
    first.ok = !c.later;
    first.error = c.later ? ERROR_IO_PENDING : 0;
    first.modem = c.mask;
    fake.Next("WaitCommEvent", first);
    ASSERT_HRESULT_SUCCEEDED(port->Open());
    if (c.later) {
      ASSERT_TRUE(PumpUntil([&] { return Count("WaitCommEvent") >= 1; }));
      ::SetEvent(static_cast<const OVERLAPPED*>(fake.named("WaitCommEvent")[0].overlapped)->hEvent);
    }
    // The pins are posted before the watcher waits again.
    ASSERT_TRUE(PumpUntil([&] { return Count("WaitCommEvent") >= 2; }));
    ASSERT_TRUE(PumpUntil([&] { return Pins().size() >= c.pins.size(); }));
    EXPECT_EQ(Pins(), c.pins);
    EXPECT_EQ(Count("GetCommModemStatus"), 0u) << "no polling beside the event wait";
    EXPECT_TRUE(IsOpen());
    port->Close();
    fake.ClearCalls();
  }
}

// --- Errors --------------------------------------------------------------------

TEST_F(FakePort, EachLineErrorIsReportedOnceWithItsFlags) {
  const DWORD cases[] = {CE_OVERRUN, CE_RXPARITY, CE_FRAME, CE_RXOVER,
                         CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_RXOVER};
  ASSERT_HRESULT_SUCCEEDED(port->Open());
  for (DWORD flags : cases) {
    SCOPED_TRACE(::testing::Message() << "flags 0x" << std::hex << flags);
    events.received.clear();
    FakeAnswer error;
    error.errors = flags;
    fake.Next("ClearCommError", error);
    ASSERT_TRUE(PumpUntil([&] { return !events.received.empty(); }));
    ASSERT_TRUE(WatcherCalls("ClearCommError", 3));
    EXPECT_EQ(events.received, (std::vector<Event>{{kErrorReceived, static_cast<LONG>(flags)}}));
  }
  EXPECT_TRUE(IsOpen()) << "a line error does not close the port";
}

TEST_F(FakePort, ARefusedOpenSaysWhichPortAndCallAndLeavesItClosed) {
  // The system's two numbers for a lack of memory are one to a host.
  const std::pair<DWORD, HRESULT> cases[] = {{ERROR_ACCESS_DENIED, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
                                             {ERROR_FILE_NOT_FOUND, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
                                             {ERROR_NOT_ENOUGH_MEMORY, E_OUTOFMEMORY}};
  ASSERT_HRESULT_SUCCEEDED(port->put_PortName(Bstr(L"COM7").get()));
  for (const auto& [error, expected] : cases) {
    SCOPED_TRACE(error);
    fake.Fail("CreateFileA", error);
    EXPECT_EQ(port->Open(), expected);
    const std::wstring description = LastDescription();
    EXPECT_NE(description.find(L"COM7"), std::wstring::npos) << description;
    EXPECT_NE(description.find(L"CreateFile"), std::wstring::npos) << description;
    EXPECT_FALSE(IsOpen());
  }
  EXPECT_EQ(Count("CloseHandle"), 0u) << "nothing was opened to close";

  // A bare name (any the port list gives, a virtual pair's CNCA0 too) is a
  // device; a path or a network name is opened as given.
  const std::pair<const wchar_t*, const char*> paths[] = {
      {L"COM7", "\\\\.\\COM7"},          {L"CNCA0", "\\\\.\\CNCA0"},
      {L"\\\\.\\COM21", "\\\\.\\COM21"}, {L"socket://127.0.0.1:1", "socket://127.0.0.1:1"}};
  for (const auto& [name, path] : paths) {
    ASSERT_HRESULT_SUCCEEDED(port->put_PortName(Bstr(name).get()));
    fake.Fail("CreateFileA", ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(port->Open(), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(fake.named("CreateFileA").back().text, path);
  }
}

// While armed, every allocation of the arming thread fails, as in a host
// that has run out of memory: a member's error text is built on the heap.
std::atomic<DWORD> g_allocationsFailOn{0};

}  // namespace
}  // namespace vemblaric

void* operator new(size_t size) {
  if (vemblaric::g_allocationsFailOn && vemblaric::g_allocationsFailOn == ::GetCurrentThreadId())
    throw std::bad_alloc();
  if (void* p = ::HeapAlloc(::GetProcessHeap(), 0, size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  if (p) ::HeapFree(::GetProcessHeap(), 0, p);
}
void operator delete(void* p, size_t) noexcept { operator delete(p); }

namespace vemblaric {
namespace {

// A member whose call fails while the heap is exhausted answers
// E_OUTOFMEMORY: no exception leaves a COM method.
TEST_F(FakePort, AFailureWithoutMemoryForItsTextAnswersOutOfMemory) {
  ASSERT_HRESULT_SUCCEEDED(port->Open());
  VARIANT_BOOL holding = VARIANT_FALSE;
  const std::pair<const char*, std::function<HRESULT()>> cases[] = {
      {"PurgeComm", [&] { return port->DiscardInBuffer(); }},
      {"PurgeComm", [&] { return port->DiscardOutBuffer(); }},
      {"EscapeCommFunction", [&] { return port->put_BreakState(VARIANT_TRUE); }},
      {"GetCommModemStatus", [&] { return port->get_CtsHolding(&holding); }},
  };
  const DWORD host = ::GetCurrentThreadId();
  for (const auto& [call, member] : cases) {
    SCOPED_TRACE(call);
    // A default, not a queued answer, as the watcher polls the modem lines
    // too; the heap runs out once the failed call is back in our code.
    FakeAnswer failing = Failing(ERROR_GEN_FAILURE);
    failing.during = [host] {
      if (::GetCurrentThreadId() == host) g_allocationsFailOn = host;
    };
    fake.Default(call, failing);
    const HRESULT hr = member();
    g_allocationsFailOn = 0;
    fake.Default(call, FakeAnswer{});
    EXPECT_EQ(hr, E_OUTOFMEMORY);
  }
  EXPECT_TRUE(IsOpen());
}

// A call that fails but leaves no error code still fails: an open that did
// not open must not leave a port that looks open with nothing behind it.
TEST_F(FakePort, ACallThatFailsWithoutAnErrorCodeStillFails) {
  fake.Fail("CreateFileA", 0);
  EXPECT_EQ(port->Open(), HRESULT_FROM_WIN32(ERROR_GEN_FAILURE));
  EXPECT_FALSE(IsOpen());
  ASSERT_HRESULT_SUCCEEDED(port->Open());
  const std::pair<const char*, std::function<HRESULT()>> cases[] = {
      {"SetCommState", [&] { return port->put_BaudRate(19200); }},
      {"PurgeComm", [&] { return port->DiscardInBuffer(); }},
      {"EscapeCommFunction", [&] { return port->put_BreakState(VARIANT_TRUE); }},
  };
  for (const auto& [call, member] : cases) {
    fake.Fail(call, 0);
    EXPECT_EQ(member(), HRESULT_FROM_WIN32(ERROR_GEN_FAILURE)) << call;
  }
  LONG baud = 0;
  ASSERT_HRESULT_SUCCEEDED(port->get_BaudRate(&baud));
  EXPECT_EQ(baud, 9600) << "the refused setting is not kept";
  EXPECT_TRUE(IsOpen());
}

// The watcher's look fails: the host learns it from ErrorReceived(I/O error)
// without calling anything, the handle is closed, and a later call says why
// the port is closed.
TEST_F(FakePort, ADeviceThatFailsUnderTheWatcherClosesThePortAndSaysWhy) {
  ASSERT_HRESULT_SUCCEEDED(port->Open());
  const HANDLE handle = fake.named("SetupComm").at(0).handle;
  fake.Default("ClearCommError", Failing(ERROR_NOT_READY));
  ASSERT_TRUE(PumpUntil([&] { return !events.received.empty(); }));
  EXPECT_EQ(events.received, (std::vector<Event>{{kErrorReceived, serialErrorIO}}));
  EXPECT_FALSE(IsOpen());
  const auto closes = fake.named("CloseHandle");
  ASSERT_EQ(closes.size(), 1u);
  EXPECT_EQ(closes[0].handle, handle);

  EXPECT_EQ(port->Write(Bstr(L"x").get()), kWrongState);
  const std::wstring description = LastDescription();
  EXPECT_NE(description.find(L"device failed"), std::wstring::npos) << description;
  EXPECT_NE(description.find(SystemText(ERROR_NOT_READY)), std::wstring::npos) << description;
  fake.Default("ClearCommError", FakeAnswer{});
  EXPECT_HRESULT_SUCCEEDED(port->Open()) << "the port opens again";
}

// On a polled port the host's own ClearCommError (BytesToRead here) may be the
// call that clears a break or a line error in the driver: both are told all
// the same, once.
TEST_F(FakePort, ABreakAndAnErrorClearedByTheHostsCallAreToldOnce) {
  ASSERT_HRESULT_SUCCEEDED(port->Open());
  const DWORD host = ::GetCurrentThreadId();
  HANDLE inside = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE release = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  // The watcher is held inside one of its looks while the host calls.
  FakeAnswer held;
  held.during = [&] {
    if (::GetCurrentThreadId() == host) return;
    ::SetEvent(inside);
    ::WaitForSingleObject(release, 5000);
  };
  fake.Default("ClearCommError", held);
  ASSERT_EQ(::WaitForSingleObject(inside, 5000), WAIT_OBJECT_0);
  FakeAnswer found;
  found.errors = CE_BREAK | CE_FRAME;
  fake.Next("ClearCommError", found);
  LONG count = -1;
  EXPECT_HRESULT_SUCCEEDED(port->get_BytesToRead(&count));
  fake.Default("ClearCommError", FakeAnswer{});
  ::SetEvent(release);
  EXPECT_TRUE(PumpUntil([&] { return events.received.size() >= 2; }));
  EXPECT_TRUE(WatcherCalls("ClearCommError", 3));
  EXPECT_EQ(events.received,
            (std::vector<Event>{{kPinChanged, serialPinBreak}, {kErrorReceived, CE_FRAME}}));
  ::CloseHandle(inside);
  ::CloseHandle(release);
}

// A driver that never ends a cancelled event wait: closing gives up on the
// watcher after its bound, but the wait's OVERLAPPED and event stay alive
// for the driver to complete, also after the watcher has gone.
TEST_F(FakePort, AWaitTheDriverNeverEndsKeepsItsOverlappedAfterClose) {
  std::atomic<DWORD> watcher{0};
  FakeAnswer pending = Failing(ERROR_IO_PENDING);
  pending.during = [&] { watcher = ::GetCurrentThreadId(); };
  fake.Default("WaitCommEvent", pending);
  ASSERT_HRESULT_SUCCEEDED(port->Open());
  ASSERT_TRUE(PumpUntil([&] { return watcher != 0; }));
  HANDLE thread = ::OpenThread(SYNCHRONIZE, FALSE, watcher);
  ASSERT_TRUE(thread);
  const HANDLE event = static_cast<const OVERLAPPED*>(fake.named("WaitCommEvent")[0].overlapped)->hEvent;
  EXPECT_HRESULT_SUCCEEDED(port->Close());
  EXPECT_EQ(::WaitForSingleObject(thread, 15000), WAIT_OBJECT_0) << "the watcher ends";
  ::CloseHandle(thread);
  DWORD flags = 0;
  EXPECT_TRUE(::GetHandleInformation(event, &flags)) << "the pending wait's event was closed";
  EXPECT_TRUE(::SetEvent(event)) << "the driver completes the wait late";
}

// --- Notices refused by a full queue ---------------------------------------------

// Stands in for PostMessageW on a queue that is full while `g_refusing`, and
// counts the notices it takes and refuses.
std::atomic<bool> g_refusing{false};
std::atomic<int> g_refused{0};
std::atomic<int> g_accepted[1u << serial_port::kNoticeBits];
BOOL WINAPI RefusingPost(HWND, UINT, WPARAM tag, LPARAM) {
  if (g_refusing) {
    ++g_refused;
    ::SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    return FALSE;
  }
  ++g_accepted[tag & ((1u << serial_port::kNoticeBits) - 1)];
  return TRUE;
}

// What the watcher saw while the queue was full is posted once it has room:
// one notice of each kind, with all it gathered; a failure until it is taken.
TEST(FakePortDevice, ANoticeRefusedByAFullQueueIsPostedOnceThereIsRoom) {
  using serial_port::Notice;
  auto answer = [](DWORD inQueue, DWORD errors, DWORD modem) {
    FakeAnswer a;
    a.inQueue = inQueue, a.errors = errors, a.modem = modem;
    return a;
  };
  const struct {
    const char* what;
    const char* function;      // what the watcher's looks find while refused
    std::vector<FakeAnswer> found;  // one after another, each until refused
    Notice kind;
  } cases[] = {
      {"bytes", "ClearCommError", {answer(3, 0, 0), answer(5, 0, 0)}, Notice::kData},
      {"line errors", "ClearCommError", {answer(0, CE_FRAME, 0), answer(0, CE_OVERRUN, 0)}, Notice::kErrors},
      {"pin changes", "GetCommModemStatus", {answer(0, 0, MS_CTS_ON), answer(0, 0, MS_CTS_ON | MS_DSR_ON)},
       Notice::kPins},
      {"the device failed", "ClearCommError", {Failing(ERROR_NOT_READY)}, Notice::kFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeKernel32 fake;
    for (auto& n : g_accepted) n = 0;
    g_refused = 0;
    g_refusing = true;
    serial_port::PortDevice device(fake.table(), nullptr, WM_APP, 1, RefusingPost);
    ASSERT_FALSE(device.Open("COM9", serial_port::LineSettings{}, serial_port::kNoLimit).failed());
    // The lines' first reading is the state changes are seen from.
    ASSERT_TRUE(PumpUntil([&] { return !fake.named("ClearCommError").empty(); }));
    for (const FakeAnswer& found : c.found) {
      const int refused = g_refused;
      fake.Default(c.function, found);
      ASSERT_TRUE(PumpUntil([&] { return g_refused > refused; }));
    }
    g_refusing = false;
    const auto& accepted = g_accepted[static_cast<unsigned>(c.kind)];
    EXPECT_TRUE(PumpUntil([&] { return accepted >= 1; }, 2000));
    if (c.kind != Notice::kFailed) {
      const size_t looks = fake.named("ClearCommError").size() + 3;
      EXPECT_TRUE(PumpUntil([&] { return fake.named("ClearCommError").size() >= looks; }));
    }
    EXPECT_EQ(accepted, 1) << "one notice while the host has not taken it";
    if (c.kind == Notice::kPins) {
      EXPECT_EQ(device.arrivals().TakePins(), static_cast<DWORD>(EV_CTS | EV_DSR));
    }
    if (c.kind == Notice::kErrors) {
      EXPECT_EQ(device.arrivals().TakeErrors(), static_cast<DWORD>(CE_FRAME | CE_OVERRUN));
    }
    device.Close();
  }
}

// --- Transfers that complete later ------------------------------------------------

// The pending transfer completes as soon as it is started: the caller's
// event is set from inside the call, and its result is GetOverlappedResult's.
FakeAnswer PendingThatCompletes(FakeKernel32& fake, const char* function, std::string data = "") {
  FakeAnswer a = Failing(ERROR_IO_PENDING);
  a.data = std::move(data);
  a.during = [&fake, function] {
    ::SetEvent(static_cast<const OVERLAPPED*>(fake.named(function).back().overlapped)->hEvent);
  };
  return a;
}

TEST_F(FakePort, APendingWriteEndsWithItsOverlappedResult) {
  const struct {
    const char* what;
    FakeAnswer result;
    HRESULT expected;
  } cases[] = {
      {"all sent", [] { FakeAnswer a; a.count = 5; return a; }(), S_OK},
      {"part sent within the limit", [] { FakeAnswer a; a.count = 2; return a; }(),
       HRESULT_FROM_WIN32(ERROR_TIMEOUT)},
      {"cancelled", Failing(ERROR_OPERATION_ABORTED), HRESULT_FROM_WIN32(ERROR_TIMEOUT)},
      {"the device failed", Failing(ERROR_GEN_FAILURE), HRESULT_FROM_WIN32(ERROR_GEN_FAILURE)},
  };
  ASSERT_HRESULT_SUCCEEDED(port->Open());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fake.ClearCalls();
    fake.Next("WriteFile", PendingThatCompletes(fake, "WriteFile"));
    fake.Next("GetOverlappedResult", c.result);
    EXPECT_EQ(port->Write(Bstr(L"hello").get()), c.expected);
    const auto writes = fake.named("WriteFile");
    const auto results = fake.named("GetOverlappedResult");
    ASSERT_EQ(writes.size(), 1u);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(writes[0].text, "hello");
    EXPECT_EQ(results[0].overlapped, writes[0].overlapped);
    EXPECT_FALSE(results[0].wait) << "a write done by the first look is not waited for";
    EXPECT_TRUE(IsOpen());
  }
  // Still running at the first look: then the write is waited for.
  fake.ClearCalls();
  fake.Next("WriteFile", PendingThatCompletes(fake, "WriteFile"));
  fake.Next("GetOverlappedResult", Failing(ERROR_IO_INCOMPLETE));
  fake.Next("GetOverlappedResult", [] { FakeAnswer a; a.count = 5; return a; }());
  EXPECT_HRESULT_SUCCEEDED(port->Write(Bstr(L"hello").get()));
  const auto results = fake.named("GetOverlappedResult");
  ASSERT_EQ(results.size(), 2u);
  EXPECT_FALSE(results[0].wait);
  EXPECT_TRUE(results[1].wait);
}

TEST_F(FakePort, APendingReadHandsOutWhatItsOverlappedResultCounts) {
  ASSERT_HRESULT_SUCCEEDED(port->Open());
  FakeAnswer queued;
  queued.inQueue = 5;
  fake.Default("ClearCommError", queued);
  fake.Next("ReadFile", PendingThatCompletes(fake, "ReadFile", "hello"));
  FakeAnswer done;
  done.count = 5;
  fake.Next("GetOverlappedResult", done);
  Bstr text;
  ASSERT_HRESULT_SUCCEEDED(port->ReadExisting(text.put()));
  EXPECT_STREQ(text.get(), L"hello");
  ASSERT_EQ(fake.named("ReadFile").size(), 1u);
  EXPECT_EQ(fake.named("ReadFile")[0].arg1, 5u) << "asks for what is queued";

  fake.Next("ReadFile", PendingThatCompletes(fake, "ReadFile", "lost!"));
  fake.Next("GetOverlappedResult", Failing(ERROR_GEN_FAILURE));
  Bstr none;
  EXPECT_EQ(port->ReadExisting(none.put()), HRESULT_FROM_WIN32(ERROR_GEN_FAILURE));
  EXPECT_NE(LastDescription().find(L"GetOverlappedResult"), std::wstring::npos);
  fake.Default("ClearCommError", FakeAnswer{});
}

// --- Variants through IDispatch ------------------------------------------------------

// A script's byte arrays travel as Variants both ways: a Variant argument
// reaches the member whole, and a Variant result comes back as the value
// it holds.
TEST_F(FakePort, ByteArraysAndPortNamesTravelWholeThroughIDispatch) {
  ASSERT_HRESULT_SUCCEEDED(port->Open());
  Ptr<IDispatch> dispatch = port.As<IDispatch>(IID_IDispatch);
  auto invoke = [&](const wchar_t* name, VARIANT* arg, VARIANT* result) {
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
    DISPPARAMS params = {arg, nullptr, arg ? 1u : 0u, 0};
    if (SUCCEEDED(hr))
      hr = dispatch->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, result, nullptr, nullptr);
    return hr;
  };

  VARIANT bytes;
  bytes.vt = VT_ARRAY | VT_UI1;
  bytes.parray = ::SafeArrayCreateVector(VT_UI1, 0, 3);
  for (LONG i = 0; i < 3; ++i) {
    BYTE b = static_cast<BYTE>("abc"[i]);
    ::SafeArrayPutElement(bytes.parray, &i, &b);
  }
  FakeAnswer sent;
  sent.count = 3;
  fake.Next("WriteFile", sent);
  EXPECT_HRESULT_SUCCEEDED(invoke(L"WriteBytes", &bytes, nullptr));
  ::VariantClear(&bytes);
  ASSERT_EQ(fake.named("WriteFile").size(), 1u);
  EXPECT_EQ(fake.named("WriteFile")[0].text, "abc");

  FakeAnswer queued;
  queued.inQueue = 2;
  fake.Default("ClearCommError", queued);
  FakeAnswer read;
  read.data = "xy";
  read.count = 2;
  fake.Next("ReadFile", read);
  VARIANT count;
  count.vt = VT_I4;
  count.lVal = 2;
  VARIANT got;
  ::VariantInit(&got);
  ASSERT_HRESULT_SUCCEEDED(invoke(L"ReadBytes", &count, &got));
  fake.Default("ClearCommError", FakeAnswer{});
  ASSERT_EQ(got.vt, VT_ARRAY | VT_UI1);
  EXPECT_EQ(got.parray->rgsabound[0].cElements, 2u);
  EXPECT_EQ(std::string(static_cast<const char*>(got.parray->pvData), 2), "xy");
  ::VariantClear(&got);

  ASSERT_HRESULT_SUCCEEDED(invoke(L"GetPortNames", nullptr, &got));
  EXPECT_EQ(got.vt, VT_ARRAY | VT_VARIANT);
  ::VariantClear(&got);
}

// --- Settings --------------------------------------------------------------------

// The fields of the device control block that the settings decide.
struct Line {
  DWORD baud;
  int byteSize, parity, checkParity, stopBits, outX, inX, ctsFlow, rts, dtr;
  bool operator==(const Line& o) const {
    return baud == o.baud && byteSize == o.byteSize && parity == o.parity &&
           checkParity == o.checkParity && stopBits == o.stopBits && outX == o.outX &&
           inX == o.inX && ctsFlow == o.ctsFlow && rts == o.rts && dtr == o.dtr;
  }
};
void PrintTo(const Line& l, std::ostream* os) {
  *os << "baud " << l.baud << " bits " << l.byteSize << " parity " << l.parity << "/"
      << l.checkParity << " stop " << l.stopBits << " xon/xoff " << l.outX << l.inX << " cts "
      << l.ctsFlow << " rts " << l.rts << " dtr " << l.dtr;
}
Line LineOf(const DCB& d) {
  return {d.BaudRate, d.ByteSize, d.Parity, static_cast<int>(d.fParity), d.StopBits,
          static_cast<int>(d.fOutX), static_cast<int>(d.fInX), static_cast<int>(d.fOutxCtsFlow),
          static_cast<int>(d.fRtsControl), static_cast<int>(d.fDtrControl)};
}

// Each setting reaches the driver's block, set before the port opens and
// while it is open; the block is always binary and never aborts on an error.
TEST_F(FakePort, SettingsReachTheDeviceControlBlock) {
  constexpr Line kDefault = {9600, 8, NOPARITY, 0, ONESTOPBIT, 0, 0, 0, RTS_CONTROL_ENABLE,
                             DTR_CONTROL_ENABLE};
  const struct {
    const wchar_t* name;
    LONG value;
    std::function<void(Line&)> change;
  } cases[] = {
      {L"BaudRate", 115200, [](Line& l) { l.baud = 115200; }},
      {L"DataBits", 7, [](Line& l) { l.byteSize = 7; }},
      {L"Parity", serialParityOdd, [](Line& l) { l.parity = ODDPARITY, l.checkParity = 1; }},
      {L"Parity", serialParityEven, [](Line& l) { l.parity = EVENPARITY, l.checkParity = 1; }},
      {L"Parity", serialParityMark, [](Line& l) { l.parity = MARKPARITY, l.checkParity = 1; }},
      {L"Parity", serialParitySpace, [](Line& l) { l.parity = SPACEPARITY, l.checkParity = 1; }},
      {L"StopBits", serialStopBitsTwo, [](Line& l) { l.stopBits = TWOSTOPBITS; }},
      {L"StopBits", serialStopBitsOnePointFive, [](Line& l) { l.stopBits = ONE5STOPBITS; }},
      {L"Handshake", serialHandshakeXOnXOff, [](Line& l) { l.outX = l.inX = 1; }},
      {L"Handshake", serialHandshakeRtsCts,
       [](Line& l) { l.ctsFlow = 1, l.rts = RTS_CONTROL_HANDSHAKE; }},
      {L"Handshake", serialHandshakeBoth,
       [](Line& l) { l.outX = l.inX = l.ctsFlow = 1, l.rts = RTS_CONTROL_HANDSHAKE; }},
      {L"DtrEnable", 0, [](Line& l) { l.dtr = DTR_CONTROL_DISABLE; }},
      {L"RtsEnable", 0, [](Line& l) { l.rts = RTS_CONTROL_DISABLE; }},
  };
  for (const auto& c : cases) {
    for (bool whileOpen : {false, true}) {
      SCOPED_TRACE(::testing::Message() << std::string(c.name, c.name + wcslen(c.name)) << " = "
                                        << c.value << (whileOpen ? " while open" : " before opening"));
      ASSERT_HRESULT_SUCCEEDED(SerialPortObject::CreateWith(fake.table(), IID_ISerialPort, port.put_void()));
      fake.ClearCalls();
      if (whileOpen) {
        ASSERT_HRESULT_SUCCEEDED(port->Open());
      }
      ASSERT_HRESULT_SUCCEEDED(Put(c.name, c.value));
      if (!whileOpen) {
        EXPECT_EQ(Count("SetCommState"), 0u) << "nothing to apply while closed";
        ASSERT_HRESULT_SUCCEEDED(port->Open());
      }
      const auto states = fake.named("SetCommState");
      ASSERT_EQ(states.size(), whileOpen ? 2u : 1u);
      Line expected = kDefault;
      c.change(expected);
      EXPECT_EQ(LineOf(states.back().dcb), expected);
      EXPECT_TRUE(states.back().dcb.fBinary);
      EXPECT_FALSE(states.back().dcb.fAbortOnError);
      EXPECT_EQ(Get(c.name), c.value);
      port->Close();
    }
  }
}

// The driver refuses a value: the property keeps its old one, and the host
// gets E_INVALIDARG for a refused value, the system's error for any other.
TEST_F(FakePort, ARefusedSettingKeepsTheOldValue) {
  const struct {
    const wchar_t* name;
    LONG value;
  } settings[] = {{L"BaudRate", 12345}, {L"DataBits", 5}, {L"Parity", serialParityEven},
                  {L"StopBits", serialStopBitsOnePointFive}, {L"Handshake", serialHandshakeRtsCts},
                  {L"DtrEnable", 0}};
  const struct {
    DWORD error;
    HRESULT expected;
  } refusals[] = {{ERROR_INVALID_PARAMETER, E_INVALIDARG},
                  {ERROR_GEN_FAILURE, HRESULT_FROM_WIN32(ERROR_GEN_FAILURE)}};
  ASSERT_HRESULT_SUCCEEDED(port->Open());
  for (const auto& s : settings) {
    for (const auto& r : refusals) {
      SCOPED_TRACE(::testing::Message() << std::string(s.name, s.name + wcslen(s.name))
                                        << ", error " << r.error);
      const LONG before = Get(s.name);
      fake.Fail("SetCommState", r.error);
      EXPECT_EQ(Put(s.name, s.value), r.expected);
      EXPECT_EQ(Get(s.name), before);
      EXPECT_TRUE(IsOpen());
    }
  }
}

// --- Arrival, departure and reconnecting ------------------------------------------

// What Wine never sends: the system's device notices to the window the port
// registered. A burst of them makes one PortsChanged, raised from the
// thread's message loop, never inside the send; notices of other devices and
// other kinds make none; without a handler the port registers for nothing.
TEST_F(FakePort, DeviceNoticesOfPortsRaiseOnePortsChangedForEachBurst) {
  const auto registered = fake.named("RegisterDeviceNotificationW");
  ASSERT_EQ(registered.size(), 1u) << "registered once, when the handler connected";
  EXPECT_EQ(registered[0].text, "ports");
  EXPECT_EQ(registered[0].arg1, static_cast<DWORD>(DEVICE_NOTIFY_WINDOW_HANDLE));
  EXPECT_EQ(registered[0].arg2, static_cast<DWORD>(DBT_DEVTYP_DEVICEINTERFACE));
  const HWND window = static_cast<HWND>(registered[0].handle);
  wchar_t className[64] = {};
  ::GetClassNameW(window, className, 64);
  EXPECT_STREQ(className, L"Vemblaric.SerialPort.Notices");

  DEV_BROADCAST_DEVICEINTERFACE_W comPort{};
  comPort.dbcc_size = sizeof comPort;
  comPort.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  DEV_BROADCAST_PORT_W portName{};
  portName.dbcp_size = sizeof portName;
  portName.dbcp_devicetype = DBT_DEVTYP_PORT;
  DEV_BROADCAST_HDR volume{};
  volume.dbch_size = sizeof volume;
  volume.dbch_devicetype = DBT_DEVTYP_VOLUME;
  struct Notice {
    WPARAM what;
    const void* header;
  };
  const struct {
    const char* what;
    std::vector<Notice> notices;
    size_t events;
  } cases[] = {
      {"an interface arrives", {{DBT_DEVICEARRIVAL, &comPort}}, 1},
      {"an interface goes", {{DBT_DEVICEREMOVECOMPLETE, &comPort}}, 1},
      {"a port arrives", {{DBT_DEVICEARRIVAL, &portName}}, 1},
      {"a device brings an interface and a port, then goes",
       {{DBT_DEVICEARRIVAL, &comPort}, {DBT_DEVICEARRIVAL, &portName}, {DBT_DEVICEREMOVECOMPLETE, &comPort}},
       1},
      {"a volume arrives", {{DBT_DEVICEARRIVAL, &volume}}, 0},
      {"a removal is asked, not done", {{DBT_DEVICEQUERYREMOVE, &comPort}}, 0},
      {"the device tree changed", {{DBT_DEVNODES_CHANGED, nullptr}}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    events.received.clear();
    for (const Notice& n : c.notices) {
      EXPECT_EQ(::SendMessageW(window, WM_DEVICECHANGE, n.what, reinterpret_cast<LPARAM>(n.header)), TRUE);
    }
    EXPECT_TRUE(events.received.empty()) << "raised inside the system's send";
    // Over twice the burst's wait: the event of a burst is raised by then.
    PumpUntil([] { return false; }, 250);
    EXPECT_EQ(events.received, std::vector<Event>(c.events, Event{kPortsChanged, 0}));
  }

  listening.reset();
  const auto unregistered = fake.named("UnregisterDeviceNotification");
  ASSERT_EQ(unregistered.size(), 1u) << "let go of when the last handler went";
  EXPECT_EQ(unregistered[0].handle, reinterpret_cast<HANDLE>(0x5EE));
}

// The settings a host made before the loss, each one the device control block
// shows differently from the defaults.
struct Before {
  const wchar_t* name;
  LONG value;
};
const Before kSettingsBefore[] = {
    {L"BaudRate", 19200}, {L"DataBits", 7}, {L"Parity", serialParityEven},
    {L"StopBits", serialStopBitsTwo}, {L"Handshake", serialHandshakeRtsCts}, {L"DtrEnable", 0},
    {L"WriteTimeout", 1234}, {L"ReadTimeout", 50}, {L"CodePage", 1252},
    {L"ReceivedBytesThreshold", 5},
};

// With AutoReconnect, a device that fails: ErrorReceived, then calls fail
// saying the port waits, a write sends nothing, the bytes the host had not
// read stay readable; the port tries again while the device stays away, and
// when it is back it is opened with every setting as before and empty
// queues, and Reconnected is raised.
TEST_F(FakePort, AFailedDeviceIsReopenedWithEverySettingWhenItReturns) {
  for (const Before& b : kSettingsBefore) ASSERT_HRESULT_SUCCEEDED(Put(b.name, b.value)) << b.name;
  ASSERT_HRESULT_SUCCEEDED(port->put_AutoReconnect(VARIANT_TRUE));
  ASSERT_HRESULT_SUCCEEDED(port->put_NewLine(Bstr(L"\r").get()));
  ASSERT_HRESULT_SUCCEEDED(port->Open());
  const DCB before = fake.named("SetCommState").back().dcb;
  const COMMTIMEOUTS timeoutsBefore = fake.named("SetCommTimeouts").back().timeouts;
  // Three bytes the host read without their terminator: held when it goes.
  FakeAnswer queued;
  queued.inQueue = 3;
  fake.Next("ClearCommError", queued);
  FakeAnswer abc;
  abc.count = 3;
  abc.data = "abc";
  fake.Next("ReadFile", abc);
  Bstr line;
  EXPECT_EQ(port->ReadLine(line.put()), HRESULT_FROM_WIN32(ERROR_TIMEOUT));

  fake.Default("CreateFileA", Failing(ERROR_FILE_NOT_FOUND));
  fake.Default("ClearCommError", Failing(ERROR_NOT_READY));
  ASSERT_TRUE(PumpUntil([&] { return !events.received.empty(); }));
  fake.Default("ClearCommError", FakeAnswer{});
  EXPECT_EQ(events.received, (std::vector<Event>{{kErrorReceived, serialErrorIO}}));
  EXPECT_FALSE(IsOpen());
  const size_t writes = Count("WriteFile");
  EXPECT_EQ(port->Write(Bstr(L"x").get()), kWrongState);
  const std::wstring description = LastDescription();
  EXPECT_NE(description.find(L"waits for it to return"), std::wstring::npos) << description;
  EXPECT_EQ(Count("WriteFile"), writes) << "a write after the loss sent something";
  LONG held = 0;
  EXPECT_HRESULT_SUCCEEDED(port->get_BytesToRead(&held));
  EXPECT_EQ(held, 3);
  EXPECT_EQ(port->ReadLine(line.put()), kWrongState) << "nothing more comes while it waits";
  EXPECT_EQ(line.str(), L"");
  Variant two;
  ASSERT_HRESULT_SUCCEEDED(port->ReadBytes(2, two.get()));
  ASSERT_EQ(two.get()->vt, VT_ARRAY | VT_UI1);
  EXPECT_EQ(std::string(static_cast<const char*>(two.get()->parray->pvData),
                        two.get()->parray->rgsabound[0].cElements), "ab");

  // Away: tried again, and again, not reopened.
  const size_t tries = Count("CreateFileA");
  ASSERT_TRUE(PumpUntil([&] { return Count("CreateFileA") >= tries + 2; }));
  EXPECT_FALSE(IsOpen());
  fake.Default("CreateFileA", FakeAnswer{});
  ASSERT_TRUE(PumpUntil([&] { return events.received.size() >= 2; }));
  EXPECT_EQ(events.received, (std::vector<Event>{{kErrorReceived, serialErrorIO}, {kReconnected, 0}}));
  EXPECT_TRUE(IsOpen());
  const DCB after = fake.named("SetCommState").back().dcb;
  EXPECT_EQ(LineOf(after), LineOf(before));
  const COMMTIMEOUTS timeoutsAfter = fake.named("SetCommTimeouts").back().timeouts;
  EXPECT_EQ(timeoutsAfter.WriteTotalTimeoutConstant, timeoutsBefore.WriteTotalTimeoutConstant);
  EXPECT_EQ(timeoutsAfter.ReadIntervalTimeout, timeoutsBefore.ReadIntervalTimeout);
  for (const Before& b : kSettingsBefore) EXPECT_EQ(Get(b.name), b.value) << b.name;
  Bstr newLine;
  ASSERT_HRESULT_SUCCEEDED(port->get_NewLine(newLine.put()));
  EXPECT_EQ(newLine.str(), L"\r");
  EXPECT_HRESULT_SUCCEEDED(port->get_BytesToRead(&held));
  EXPECT_EQ(held, 0) << "the reopened port starts with empty queues";
  FakeAnswer sent;
  sent.count = 1;
  fake.Next("WriteFile", sent);
  ASSERT_HRESULT_SUCCEEDED(port->Write(Bstr(L"x").get()));
  EXPECT_EQ(fake.named("WriteFile").back().text, "x");
}

// A host that pumps no messages (a script) learns of the loss and the return
// through IsOpen: no event inside the call, both from the loop afterwards.
TEST_F(FakePort, AHostThatPumpsNothingSeesTheLossAndTheReturnThroughIsOpen) {
  ASSERT_HRESULT_SUCCEEDED(port->put_AutoReconnect(VARIANT_TRUE));
  ASSERT_HRESULT_SUCCEEDED(port->Open());
  fake.Default("CreateFileA", Failing(ERROR_FILE_NOT_FOUND));
  fake.Default("ClearCommError", Failing(ERROR_NOT_READY));
  EXPECT_FALSE(IsOpen());
  fake.Default("ClearCommError", FakeAnswer{});
  EXPECT_EQ(port->Write(Bstr(L"x").get()), kWrongState);
  const size_t tries = Count("CreateFileA");
  fake.Default("CreateFileA", FakeAnswer{});
  const ULONGLONG lost = ::GetTickCount64();
  while (!IsOpen() && ::GetTickCount64() - lost < 5000) ::Sleep(10);
  EXPECT_GE(::GetTickCount64() - lost, 400u) << "tried again before a try was due";
  EXPECT_EQ(Count("CreateFileA"), tries + 1) << "one try, when it was due";
  EXPECT_TRUE(events.received.empty()) << "raised inside a call";
  ASSERT_TRUE(PumpUntil([&] { return events.received.size() >= 2; }));
  EXPECT_EQ(events.received, (std::vector<Event>{{kErrorReceived, serialErrorIO}, {kReconnected, 0}}));
}

// The waiting ends with Close, with AutoReconnect False and with the last
// release: no try to reopen after it, however long the device stays away.
TEST_F(FakePort, CloseAutoReconnectFalseAndTheLastReleaseEndTheWaiting) {
  const struct {
    const char* what;
    std::function<void(Ptr<ISerialPort>&)> end;
    bool readable;  // the held bytes after it
  } cases[] = {
      {"Close", [](Ptr<ISerialPort>& p) { EXPECT_HRESULT_SUCCEEDED(p->Close()); }, false},
      {"AutoReconnect False",
       [](Ptr<ISerialPort>& p) { EXPECT_HRESULT_SUCCEEDED(p->put_AutoReconnect(VARIANT_FALSE)); }, false},
      {"the last release", [this](Ptr<ISerialPort>& p) { listening.reset(); p.reset(); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_HRESULT_SUCCEEDED(SerialPortObject::CreateWith(fake.table(), IID_ISerialPort, port.put_void()));
    listening = std::make_unique<testing::Connection>(port.get(), DIID_ISerialPortEvents, &events);
    events.received.clear();
    ASSERT_HRESULT_SUCCEEDED(port->put_AutoReconnect(VARIANT_TRUE));
    ASSERT_HRESULT_SUCCEEDED(port->Open());
    fake.Default("CreateFileA", Failing(ERROR_FILE_NOT_FOUND));
    fake.Default("ClearCommError", Failing(ERROR_NOT_READY));
    ASSERT_TRUE(PumpUntil([&] { return !events.received.empty(); }));
    fake.Default("ClearCommError", FakeAnswer{});
    const size_t tries = Count("CreateFileA");
    ASSERT_TRUE(PumpUntil([&] { return Count("CreateFileA") > tries; })) << "not waiting";
    c.end(port);
    const size_t after = Count("CreateFileA");
    fake.Default("CreateFileA", FakeAnswer{});
    // Over twice the wait between two tries.
    PumpUntil([] { return false; }, 1100);
    EXPECT_EQ(Count("CreateFileA"), after) << "tried to reopen after the waiting ended";
    EXPECT_EQ(events.received.size(), 1u) << "an event after the waiting ended";
    if (port) {
      EXPECT_FALSE(IsOpen());
      LONG held = -1;
      EXPECT_EQ(port->get_BytesToRead(&held), kWrongState);
    }
  }
}

// A network name has no port list to watch: the tries back off, each wait
// about twice the last, from half a second, up to the one that reopens.
TEST_F(FakePort, ANetworkNameIsTriedAgainWithWaitsThatGrow) {
  ASSERT_HRESULT_SUCCEEDED(port->put_PortName(Bstr(L"rfc2217://127.0.0.1:7").get()));
  ASSERT_HRESULT_SUCCEEDED(port->put_AutoReconnect(VARIANT_TRUE));
  ASSERT_HRESULT_SUCCEEDED(port->Open());
  fake.Default("CreateFileA", Failing(ERROR_CONNECTION_REFUSED));
  fake.Default("ClearCommError", Failing(WSAECONNRESET));
  ASSERT_TRUE(PumpUntil([&] { return !events.received.empty(); }));
  fake.Default("ClearCommError", FakeAnswer{});
  std::vector<ULONGLONG> tries;
  const size_t before = Count("CreateFileA");
  const ULONGLONG lost = ::GetTickCount64();
  ASSERT_TRUE(PumpUntil(
      [&] {
        if (Count("CreateFileA") > before + tries.size()) tries.push_back(::GetTickCount64());
        if (tries.size() == 2) fake.Default("CreateFileA", FakeAnswer{});
        return tries.size() >= 3;
      },
      8000));
  EXPECT_EQ(fake.named("CreateFileA").back().text, "rfc2217://127.0.0.1:7");
  const std::vector<ULONGLONG> waits = {tries[0] - lost, tries[1] - tries[0], tries[2] - tries[1]};
  EXPECT_GE(waits[0], 400u);
  EXPECT_LE(waits[0], 900u);
  for (size_t i = 1; i < waits.size(); ++i)
    EXPECT_GE(waits[i], waits[i - 1] * 3 / 2) << "wait " << i << ": " << waits[i] << " ms after " << waits[i - 1];
  ASSERT_TRUE(PumpUntil([&] { return events.received.size() >= 2; }));
  EXPECT_EQ(events.received.back(), (Event{kReconnected, 0}));
}

}  // namespace
}  // namespace vemblaric
