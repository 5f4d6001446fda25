// IDispatch::Invoke of the control, and of SerialPort, with whatever a careless or hostile caller
// passes: member identifiers valid and not, any flags, too many and too few
// arguments, every kind of VARIANT (empty, null, numbers, null, empty, 1 MB
// and NUL-holding strings, by-reference values of the right and the wrong
// type, arrays, missing arguments, named arguments), and null result,
// EXCEPINFO and argument-error pointers. Nothing may crash or hang, and
// memory and handles stay flat.
//
// The control runs on the scripted kernel32, which answers every port call
// with a random success or failure, so the failure paths of every member are
// walked as often as the successes. Its SleepEx is scripted too, so the
// pauses of Write_Com, Close_Com and waitnow cost nothing and every member may
// be reached with every value, waitnow with a year included. Port names of
// the two network schemes are the exception: their opens reach the real
// transport (scripted_system_kernel32.cpp), and each must fail there. They
// come among the random texts, and in one call of fifty as an open by such a
// name through the class's own members, from the events as well.
//
// Every other round an event sink listens, so Open_Com and Write_Com run the
// receive loop. Then the calls go on from inside the control, as a host's
// would: one from each event and one from the pump after each pause, until
// the round's calls are spent and the sink lets go, which ends the loop. The
// loop, then, ends within the round whatever the calls did to it. In the
// other rounds the pumps of reads and writes run host calls all the same.
//
// SerialPort's events come from its watcher thread's notices, raised where
// the thread pumps: in its rounds the fuzz pumps after each call, and the
// calls go on from inside those events in the same way. Its read time-out is
// set to 0 ms before each call: a read waiting for a terminator that the
// random bytes never hold then ends at once, having taken the queue once, so
// the bytes the object holds, and with them the heap, grow the same in both
// passes (a time-out would let them grow with the machine's speed). Query
// takes its own time-out as an argument: that one is drawn from values of
// every type that wait no more than a few milliseconds (and from the missing
// argument), so that no call waits for a line forever.
//
// Seeded: VEMBLARIC_FUZZ_SEED picks the seed (printed), VEMBLARIC_FUZZ_CALLS
// the number of calls (20,000 in CI; 100,000 or more for a soak).
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "reliability.h"
#include "scripted_system_kernel32.h"
#include "serial_port/serial_port_object.h"
#include "support/com_test.h"
#include "transport/network_calls.h"

namespace vemblaric {
namespace {

using testing::ComApartment;
using testing::FakeAnswer;
using testing::FakeKernel32;
using testing::ProcessFigures;
using testing::Ptr;

long FromEnvironment(const char* name, long fallback) {
  const char* text = std::getenv(name);
  return text && *text ? std::strtol(text, nullptr, 10) : fallback;
}

// The members as the type library publishes them: identifier, the way they
// are called, how many arguments the caller supplies, and which of them (from
// the first; -1: none) is a time-out the fuzz keeps short.
struct Member {
  DISPID id;
  WORD flags;
  UINT args;
  int wait = -1;
};
constexpr WORD kMethod = DISPATCH_METHOD, kGet = DISPATCH_PROPERTYGET, kPut = DISPATCH_PROPERTYPUT;
const Member kControlMembers[] = {
    {0x60030006, kMethod, 0}, {0x60030007, kMethod, 0}, {0x60030008, kMethod, 0},
    {0x60030009, kMethod, 1}, {0x68030005, kGet, 0},    {0x68030005, kPut, 1},
    {0x68030004, kGet, 0},    {0x68030004, kPut, 1},    {0x68030003, kGet, 0},
    {0x68030003, kPut, 1},    {0x6003000A, kMethod, 0}, {0x68030002, kGet, 0},
    {0x68030002, kPut, 1},    {0x68030001, kGet, 0},    {0x6003000E, kMethod, 0},
    {0x6003000F, kMethod, 0}, {0x60030010, kMethod, 1}, {0x60030011, kMethod, 1},
    {0x60030012, kMethod, 3}, {0x60030015, kMethod, 2}, {0x60030016, kMethod, 1},
    {0x60030017, kMethod, 1}, {0x60030018, kMethod, 3}, {0x60030019, kMethod, 2},
    {0x6003001A, kMethod, 3}, {0x6003001B, kMethod, 3}, {0x6003001C, kMethod, 1},
    {0x6003001D, kMethod, 1}, {0x6003001E, kMethod, 0}, {0x6003001F, kMethod, 0},
    {0x68030000, kGet, 0},
};
const WORD kFlags[] = {kMethod,    kGet, kMethod | kGet, kPut, DISPATCH_PROPERTYPUTREF,
                       kPut | kGet, 0,   0xFFFF};
const DISPID kControlStrangeIds[] = {0, -1, DISPID_VALUE, DISPID_NEWENUM, DISPID_PROPERTYPUT,
                                     0x60030013, 0x60030020, 0x68030006, 0x7FFFFFFF};
// SerialPort's: each property's get and put, then the methods.
const Member kPortMembers[] = {
    {30, kMethod, 0}, {32, kMethod, 1}, {1, kGet, 0},     {1, kPut, 1},     {2, kGet, 0},
    {2, kPut, 1},     {3, kGet, 0},     {3, kPut, 1},     {4, kGet, 0},     {4, kPut, 1},
    {5, kGet, 0},     {5, kPut, 1},     {6, kGet, 0},     {6, kPut, 1},     {7, kGet, 0},
    {7, kPut, 1},     {8, kGet, 0},     {8, kPut, 1},     {9, kGet, 0},     {9, kPut, 1},
    {10, kGet, 0},    {10, kPut, 1},    {11, kGet, 0},    {11, kPut, 1},    {12, kGet, 0},
    {12, kPut, 1},    {13, kGet, 0},    {13, kPut, 1},    {14, kGet, 0},    {15, kGet, 0},
    {16, kGet, 0},    {17, kGet, 0},    {18, kGet, 0},    {19, kGet, 0},    {20, kGet, 0},
    {21, kGet, 0},    {21, kPut, 1},    {31, kMethod, 0}, {33, kMethod, 1}, {34, kMethod, 1},
    {35, kMethod, 0}, {36, kMethod, 0}, {37, kMethod, 1}, {38, kMethod, 1}, {39, kMethod, 0},
    {40, kMethod, 0}, {41, kMethod, 0}, {42, kMethod, 1}, {43, kMethod, 0}, {44, kGet, 0},
    {45, kGet, 0},    {45, kPut, 1},    {46, kMethod, 2, 1}, {46, kMethod, 1}, {47, kMethod, 1},
};
const DISPID kPortStrangeIds[] = {0, -1, DISPID_VALUE, DISPID_NEWENUM, DISPID_PROPERTYPUT,
                                  22, 29, 48, 99, 0x60020000, 0x7FFFFFFF};
template <typename T, size_t N>
std::vector<T> Of(const T (&items)[N]) {
  return std::vector<T>(items, items + N);
}

// A class as the fuzz drives it.
struct FuzzedClass {
  const char* name;
  std::vector<Member> members;
  size_t often[2];  // the members a listening round calls more often: an opening, a write
  std::vector<DISPID> strangeIds;
  std::vector<VARTYPE> results;  // what a member may return
  IID events;
  HRESULT (*create)(REFIID, void**);
  bool pumps;  // events are raised from the thread's messages
  // Before each call; after each round, whether the object still answers.
  std::function<void(IDispatch*)> prepare;
  std::function<void(IDispatch*)> stillAnswers;
  // Opens by `name` (on `slot` where the class has slots), after closing what
  // was open there, and leaves the object as it was otherwise, so that its
  // events go on; whether the open failed.
  std::function<bool(IDispatch*, BSTR name, short slot)> openNamed;
};
const DWORD kErrors[] = {ERROR_INVALID_HANDLE, ERROR_ACCESS_DENIED,     ERROR_FILE_NOT_FOUND,
                         ERROR_NOT_READY,      ERROR_GEN_FAILURE,       ERROR_OPERATION_ABORTED,
                         ERROR_INVALID_PARAMETER, ERROR_IO_PENDING,     0,
                         0xDEADBEEF};

// Port names of both network schemes, as a port name or CommOpen's name
// reaches the transport: refused at once on 127.0.0.1 and ::1 (nothing listens
// on port 1; the short time-out bounds a host that drops instead), or
// malformed (host, port or query). None looks a name up, and none can open, so
// no later call of a fuzzed object meets a connection.
const wchar_t* const kNetworkNames[] = {
    L"rfc2217://127.0.0.1:1?timeout=200", L"socket://127.0.0.1:1?timeout=200",
    L"RFC2217://[::1]:1?timeout=200",     L"socket://[::1]:1?timeout=200",
    L"rfc2217://127.0.0.1:0",             L"socket://127.0.0.1:65536",
    L"rfc2217://127.0.0.1:99999",         L"rfc2217://127.0.0.1",
    L"socket://:2217",                    L"rfc2217://::1:1",
    L"socket://[::1:1",                   L"rfc2217://127.0.0.1:1?timeout=0",
    L"socket://127.0.0.1:1?timeout=9999999", L"rfc2217://127.0.0.1:1?baud=9600",
    L"socket://127.0.0.1:1?",             L"rfc2217://a b:1",
};

// A live IUnknown for VT_UNKNOWN and VT_DISPATCH-shaped arguments.
class Nobody final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    *ppv = ::IsEqualIID(riid, IID_IUnknown) ? this : nullptr;
    return *ppv ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
};
Nobody nobody;

// Where a by-reference argument points, owned by the fuzz for one call.
struct Cell {
  short i2 = 0;
  long i4 = 0;
  VARIANT_BOOL b = 0;
  double r8 = 0;
  BSTR s = nullptr;
  VARIANT v;
  Cell() { ::VariantInit(&v); }
  ~Cell() {
    ::SysFreeString(s);
    ::VariantClear(&v);
  }
  Cell(const Cell&) = delete;
  Cell& operator=(const Cell&) = delete;
};

class Fuzz {
 public:
  explicit Fuzz(unsigned seed)
      : rng_(seed),
        large_(1 << 20, L'x'),
        trace_(FromEnvironment("VEMBLARIC_FUZZ_TRACE", 0) != 0) {}

  unsigned Pick(unsigned n) { return static_cast<unsigned>(rng_() % n); }
  bool Chance(unsigned percent) { return Pick(100) < percent; }

  BSTR Text() {
    static const wchar_t* const kTexts[] = {
        L"COM1", L"COM2", L"COM3", L"COM4", L"COM5", L"com1", L"LPT1", L"\\\\.\\COM1",
        L"baud=9600 parity=N data=8 stop=1", L"baud=x", L"19200", L"-1", L"abc", L"\u65e5\u672c"};
    switch (Pick(9)) {
      case 0: return nullptr;
      case 1: return ::SysAllocStringLen(L"", 0);
      case 2: return ::SysAllocStringLen(L"COM1\0junk", 9);
      case 3:
        if (Pick(50) == 0)
          return ::SysAllocStringLen(large_.data(), static_cast<UINT>(large_.size()));
        [[fallthrough]];
      case 4: {
        std::wstring any(Pick(300), L' ');
        for (wchar_t& c : any) c = static_cast<wchar_t>(Pick(0x10000));
        return ::SysAllocStringLen(any.data(), static_cast<UINT>(any.size()));
      }
      case 5: return ::SysAllocString(kNetworkNames[Pick(sizeof kNetworkNames / sizeof *kNetworkNames)]);
      default: return ::SysAllocString(kTexts[Pick(sizeof kTexts / sizeof *kTexts)]);
    }
  }

  long Number() {
    static const long kNumbers[] = {0, 1, 2, 3, 4, 5, -1, 9, 64, 1024, 57600, 32767, -32768,
                                    65536, 0x7FFFFFFF, -0x7FFFFFFF - 1};
    return Chance(70) ? kNumbers[Pick(sizeof kNumbers / sizeof *kNumbers)]
                      : static_cast<long>(rng_());
  }

  // A value the caller owns; VariantClear frees it after the call.
  VARIANT Value() {
    VARIANT v;
    ::VariantInit(&v);
    switch (Pick(16)) {
      case 0: break;  // VT_EMPTY
      case 1: v.vt = VT_NULL; break;
      case 2: v.vt = VT_ERROR, v.scode = DISP_E_PARAMNOTFOUND; break;  // a missing argument
      case 3: v.vt = VT_I2, v.iVal = static_cast<short>(Number()); break;
      case 4: case 5: v.vt = VT_I4, v.lVal = Number(); break;
      case 6: v.vt = VT_R8, v.dblVal = Chance(50) ? 1e300 : static_cast<double>(Number()) / 3; break;
      case 7: v.vt = VT_BOOL, v.boolVal = Chance(50) ? VARIANT_TRUE : VARIANT_BOOL{1}; break;
      case 8: case 9: case 10: v.vt = VT_BSTR, v.bstrVal = Text(); break;
      case 11: v.vt = VT_UI1, v.bVal = static_cast<BYTE>(Number()); break;
      case 12: v.vt = VT_CY, v.cyVal.int64 = static_cast<LONGLONG>(Number()) * 10000; break;
      case 13: v.vt = VT_DATE, v.date = static_cast<double>(Number()); break;
      case 14: v.vt = VT_UNKNOWN, v.punkVal = Chance(50) ? &nobody : nullptr; break;
      default: {
        const VARTYPE element = Chance(50) ? VT_I4 : VT_BSTR;
        v.vt = static_cast<VARTYPE>(VT_ARRAY | element);
        v.parray = ::SafeArrayCreateVector(element, 0, Pick(4));
        break;
      }
    }
    return v;
  }

  // A time-out of any type that waits a few milliseconds at most, or is
  // refused, or is left out; never -1, which waits for ever.
  VARIANT ShortWait(Cell& cell) {
    static const long kWaits[] = {0, 1, 2, -2, -5};
    VARIANT v;
    ::VariantInit(&v);
    switch (Pick(9)) {
      case 0: v.vt = VT_ERROR, v.scode = DISP_E_PARAMNOTFOUND; break;
      case 1: v.vt = VT_I4, v.lVal = kWaits[Pick(5)]; break;
      case 2: v.vt = VT_I2, v.iVal = static_cast<short>(kWaits[Pick(5)]); break;
      case 3: v.vt = VT_R8, v.dblVal = Chance(50) ? 1.5 : 1e300; break;
      case 4: v.vt = VT_CY, v.cyVal.int64 = Chance(50) ? 5 : 20000; break;
      case 5: v.vt = VT_BSTR, v.bstrVal = ::SysAllocString(L"0"); break;
      case 6: v.vt = VT_BYREF | VT_I4, v.plVal = &cell.i4, cell.i4 = kWaits[Pick(5)]; break;
      case 7: v.vt = VT_BYREF | VT_VARIANT, v.pvarVal = &cell.v, cell.v.vt = VT_R8, cell.v.dblVal = 1; break;
      default: v.vt = Chance(50) ? VT_EMPTY : VT_NULL; break;
    }
    return v;
  }

  // An argument: a value, or a reference into `cell` of any type.
  VARIANT Argument(Cell& cell) {
    if (Chance(60)) return Value();
    VARIANT v;
    ::VariantInit(&v);
    switch (Pick(6)) {
      case 0: v.vt = VT_BYREF | VT_I2, v.piVal = &cell.i2, cell.i2 = static_cast<short>(Number()); break;
      case 1: v.vt = VT_BYREF | VT_I4, v.plVal = &cell.i4, cell.i4 = Number(); break;
      case 2: v.vt = VT_BYREF | VT_BOOL, v.pboolVal = &cell.b, cell.b = VARIANT_TRUE; break;
      case 3: v.vt = VT_BYREF | VT_R8, v.pdblVal = &cell.r8, cell.r8 = Chance(50) ? 1e12 : 2; break;
      case 4: v.vt = VT_BYREF | VT_BSTR, v.pbstrVal = &cell.s, cell.s = Text(); break;
      default: v.vt = VT_BYREF | VT_VARIANT, v.pvarVal = &cell.v, cell.v = Value(); break;
    }
    return v;
  }

  // An open by a network name through the class's own members, as a host
  // naming such a port makes it: random arguments alone seldom reach one.
  // No such name can open.
  void OpenNetworkName(const FuzzedClass& c, IDispatch* object) {
    BSTR name = ::SysAllocString(kNetworkNames[Pick(sizeof kNetworkNames / sizeof *kNetworkNames)]);
    Expect(c.openNamed(object, name, static_cast<short>(1 + Pick(4))),
           "an open of a network name that cannot open succeeded");
    ::SysFreeString(name);
  }

  // Starts round `round` afresh: the same seed and round give the same calls.
  void Start(unsigned seed, long round) { rng_.seed(seed + static_cast<unsigned>(round)); }

  // A pending transfer completes as it starts: the caller's event is set from
  // inside the call, as the driver would set it when done.
  static FakeAnswer CompletingIfPending(FakeKernel32& fake, FakeAnswer a, const char* function) {
    if (a.error == ERROR_IO_PENDING)
      a.during = [&fake, function] {
        const auto calls = fake.named(function);
        const auto* ov = calls.empty() ? nullptr : static_cast<const OVERLAPPED*>(calls.back().overlapped);
        if (ov && ov->hEvent) ::SetEvent(ov->hEvent);
      };
    return a;
  }

  // New random answers for kernel32 calls (all of them when `all`, else some):
  // successes, failures with odd codes, pending transfers, queued bytes.
  // GetOverlappedResult is never told ERROR_IO_INCOMPLETE: a waiting call does
  // not answer that, and the port layer asks again until it gets another.
  void Rescript(FakeKernel32& fake, bool all = false) {
    auto answer = [&](unsigned failPercent) {
      FakeAnswer a;
      if (Chance(gentle ? failPercent / 5 : failPercent))
        a.ok = FALSE, a.error = kErrors[Pick(sizeof kErrors / sizeof *kErrors)];
      return a;
    };
    for (const char* name : {"CreateFileA", "SetupComm", "PurgeComm", "SetCommTimeouts",
                             "GetCommState", "SetCommState", "CloseHandle", "EscapeCommFunction"})
      if (all || Chance(30)) fake.Default(name, answer(15));
    if (all || Chance(50)) {
      static const DWORD kQueued[] = {0, 0, 1, 63, 64, 65, 1024, 3000};
      FakeAnswer queued = answer(10);
      queued.inQueue = kQueued[Pick(8)];
      queued.errors = Chance(20) ? rng_() : 0;
      fake.Default("ClearCommError", queued);
      // Never more bytes than were queued: a read asks for at least that many.
      FakeAnswer read = answer(10);
      read.data.resize(Pick(queued.inQueue + 1));
      for (char& c : read.data) c = static_cast<char>(Pick(256));
      read.count = Chance(90) ? static_cast<DWORD>(read.data.size()) : rng_();
      fake.Default("ReadFile", CompletingIfPending(fake, read, "ReadFile"));
    }
    if (all || Chance(30)) {
      FakeAnswer written = answer(20);
      written.count = Chance(70) ? 0xFFFF : Pick(2000);  // more than asked is cut to the length
      fake.Default("WriteFile", CompletingIfPending(fake, written, "WriteFile"));
    }
    if (all || Chance(20)) {
      FakeAnswer done = answer(20);
      if (done.error == ERROR_IO_PENDING) done.error = ERROR_OPERATION_ABORTED;
      done.count = Pick(2000);
      fake.Default("GetOverlappedResult", done);
    }
    if (all || Chance(20)) {
      FakeAnswer lines = answer(20);
      lines.modem = rng_();
      fake.Default("GetCommModemStatus", lines);
    }
  }

  // One Invoke with random everything. Returns its status.
  HRESULT Call(const FuzzedClass& c, IDispatch* control) {
    // A listening round opens and writes more often, so that loops run.
    const auto& members = c.members;
    const Member& m = gentle && Chance(10) ? members[c.often[Chance(50) ? 0 : 1]]
                                           : members[Pick(static_cast<unsigned>(members.size()))];
    const DISPID id =
        Chance(90) ? m.id : c.strangeIds[Pick(static_cast<unsigned>(c.strangeIds.size()))];
    const WORD flags = Chance(75) ? m.flags : kFlags[Pick(sizeof kFlags / sizeof *kFlags)];
    const UINT count = Chance(80) ? m.args : Pick(6);

    if (trace_) std::fprintf(stderr, "Invoke %08lX flags %X with %u arguments\n", id, flags, count);
    std::array<Cell, 6> cells;
    std::vector<VARIANT> args;
    for (UINT i = 0; i < count; ++i) args.push_back(Argument(cells[i]));
    Cell waitCell;
    for (const Member& waits : members)
      if (waits.id == id && waits.wait >= 0 && count > static_cast<UINT>(waits.wait)) {
        VARIANT& a = args[count - 1 - static_cast<UINT>(waits.wait)];  // arguments go last first
        ::VariantClear(&a);
        a = ShortWait(waitCell);
      }
    DISPID named[2] = {DISPID_PROPERTYPUT, static_cast<DISPID>(Number())};
    DISPPARAMS params = {args.data(), named, count, 0};
    if ((flags & (kPut | DISPATCH_PROPERTYPUTREF)) && count > 0 && Chance(85))
      params.cNamedArgs = 1;
    if (Chance(5)) params.cNamedArgs = std::min<UINT>(count, 1 + Pick(2)), named[0] = Number();
    if (Chance(2)) params.rgdispidNamedArgs = nullptr;
    if (Chance(2)) params.rgvarg = nullptr;

    VARIANT result;
    ::VariantInit(&result);
    EXCEPINFO exception{};
    UINT argumentError = 0xFFFF;
    const HRESULT hr = control->Invoke(id, IID_NULL, 0, flags, Chance(1) ? nullptr : &params,
                                       Chance(70) ? &result : nullptr,
                                       Chance(70) ? &exception : nullptr,
                                       Chance(70) ? &argumentError : nullptr);

    if (hr == DISP_E_EXCEPTION && exception.bstrSource) {
      Expect(FAILED(exception.scode) && exception.bstrDescription,
             "an exception without a failure");
    }
    if ((hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW) && argumentError != 0xFFFF)
      Expect(argumentError < count, "an argument error past the arguments");
    if (trace_) std::fprintf(stderr, "  returned %08lX\n", static_cast<unsigned long>(hr));
    ++outcomes[hr == S_OK ? 0 : hr == DISP_E_EXCEPTION ? 1 : 2];
    if (SUCCEEDED(hr))
      Expect(std::find(c.results.begin(), c.results.end(), result.vt) != c.results.end(),
             ("a result of a type no member returns: " + std::to_string(result.vt) + " from " + std::to_string(id)).c_str());
    ::VariantClear(&result);
    ::SysFreeString(exception.bstrSource);
    ::SysFreeString(exception.bstrDescription);
    ::SysFreeString(exception.bstrHelpFile);
    for (VARIANT& a : args) ::VariantClear(&a);  // leaves what a reference points at alone
    return hr;
  }

  int faults = 0;
  bool gentle = false;  // fewer kernel32 failures, more opens and writes
  long outcomes[3] = {};  // succeeded, failed inside the member, refused by dispatch

 private:
  void Expect(bool holds, const char* what) {
    if (!holds && ++faults <= 10) ADD_FAILURE() << what;
  }

  std::mt19937 rng_;
  std::wstring large_;
  bool trace_;  // VEMBLARIC_FUZZ_TRACE=1: each call on stderr, to find the one that failed
};

// Takes every event, whatever its arguments, and runs `handler`.
class AnySink final : public IDispatch {
 public:
  explicit AnySink(REFIID events) : events_(events) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    const bool known = ::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IDispatch) ||
                       ::IsEqualIID(riid, events_);
    *ppv = known ? static_cast<IDispatch*>(this) : nullptr;
    return known ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // lives on the test's stack
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override { *n = 0; return S_OK; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    if (handler) handler();
    return S_OK;
  }
  std::function<void()> handler;

 private:
  IID events_;
};

template <typename T>
Ptr<T> Query(IUnknown* object, REFIID iid) {
  Ptr<T> out;
  object->QueryInterface(iid, out.put_void());
  return out;
}

const FuzzedClass kSerialControl = {
    "SerialControl", Of(kControlMembers), {0, 3}, Of(kControlStrangeIds),
    {VT_EMPTY, VT_I2, VT_I4, VT_BOOL, VT_BSTR}, DIID___SerialControl,
    &control_object::CreateSerialControl, false, nullptr,
    [](IDispatch* object) {
      BSTR company = nullptr;
      ASSERT_HRESULT_SUCCEEDED(
          Query<_SerialControl>(object, IID__SerialControl)->get_Company(&company));
      EXPECT_EQ(testing::Str(company), L"Vemblaric serial control");
      ::SysFreeString(company);
    },
    [](IDispatch* object, BSTR name, short slot) {
      const Ptr<_SerialControl> control = Query<_SerialControl>(object, IID__SerialControl);
      short looping = 0;  // the receive loop's slot stays as it is
      control->get_Port(&looping);
      if (slot == looping) slot = static_cast<short>(slot % 4 + 1);
      BSTR settings = ::SysAllocString(L"baud=9600 parity=N data=8 stop=1");
      long result = 0;
      control->CommClose(&slot, &result);
      control->CommOpen(&slot, &name, &settings, &result);
      ::SysFreeString(settings);
      return result != 0;
    }};

const FuzzedClass kSerialPort = {
    "SerialPort", Of(kPortMembers), {0, 1}, Of(kPortStrangeIds),
    {VT_EMPTY, VT_I4, VT_BOOL, VT_BSTR, VT_ARRAY | VT_UI1, VT_ARRAY | VT_VARIANT, VT_DISPATCH},
    DIID_ISerialPortEvents, &serial_port::SerialPortObject::Create, true,
    [](IDispatch* object) {
      Query<ISerialPort>(object, IID_ISerialPort)->put_ReadTimeout(0);
    },
    [](IDispatch* object) {
      const Ptr<ISerialPort> port = Query<ISerialPort>(object, IID_ISerialPort);
      VARIANT_BOOL open = VARIANT_TRUE;
      ASSERT_HRESULT_SUCCEEDED(port->Close());
      ASSERT_HRESULT_SUCCEEDED(port->get_IsOpen(&open));
      EXPECT_EQ(open, VARIANT_FALSE);
    },
    [](IDispatch* object, BSTR name, short) {
      const Ptr<ISerialPort> port = Query<ISerialPort>(object, IID_ISerialPort);
      BSTR before = nullptr;
      VARIANT_BOOL wasOpen = VARIANT_FALSE;
      port->get_PortName(&before);
      port->get_IsOpen(&wasOpen);
      port->Close();
      const bool failed = SUCCEEDED(port->put_PortName(name)) && FAILED(port->Open());
      port->put_PortName(before);
      ::SysFreeString(before);
      if (wasOpen) port->Open();
      return failed;
    }};

class InvokeFuzz : public ComApartment {
 protected:
  void Run(const FuzzedClass& c);
};

void InvokeFuzz::Run(const FuzzedClass& c) {
  const long calls = FromEnvironment("VEMBLARIC_FUZZ_CALLS", 20000);
  const unsigned seed = static_cast<unsigned>(FromEnvironment("VEMBLARIC_FUZZ_SEED", 20261208));
  std::printf("fuzz %s: seed %u, %ld calls\n", c.name, seed, calls);
  FakeKernel32& fake = testing::ScriptedSystemKernel32();
  Fuzz fuzz(seed);
  std::atomic<long> done{0};
  testing::Watchdog watchdog(std::chrono::seconds(10), done, "the Invoke fuzz");
  testing::TakeNetworkOpens();

  // In rounds of 1,000 calls, each on a new object and reproducible on its
  // own. After all of them the same rounds run again: the first pass leaves
  // the heap laid out for these sizes, so the second may not grow it at all
  // unless something leaks.
  constexpr long kRound = 1000;
  testing::HostWindow host;
  AnySink sink(c.events);
  Ptr<IDispatch> control;
  std::unique_ptr<testing::Connection> listening;
  long left = 0;  // calls left in this round
  auto spend = [&] {
    if (left <= 0) return false;
    --left;
    fuzz.Rescript(fake);
    if (c.prepare) c.prepare(control.get());
    if (fuzz.Chance(2)) fuzz.OpenNetworkName(c, control.get());
    else fuzz.Call(c, control.get());
    fake.ClearCalls();
    done.fetch_add(1);
    if (left == 0) listening.reset();  // nobody listens: a running loop ends
    return true;
  };
  // Host code runs one call from each event, and one from the first pump
  // after each pause (the loop pauses once a pass): a pause posts a message if
  // none is waiting. Deeper than three calls in, the host lets go of the
  // events instead, so a loop it started ends and the calls go on further out.
  int depth = 0;
  bool posted = false;
  long inside = 0, events = 0;
  auto fromInside = [&] {
    if (depth >= 3) {
      listening.reset();
      return;
    }
    ++depth;
    inside += spend();
    --depth;
  };
  sink.handler = [&] {
    ++events;
    fromInside();
  };
  host.handler = [&](UINT message) {
    if (message != WM_APP) return;
    posted = false;
    fromInside();
  };
  FakeAnswer pause;
  pause.during = [&] {
    if (!posted) host.Post(WM_APP);
    posted = true;
  };
  fake.Default("SleepEx", pause);
  auto pass = [&] {
    for (long round = 0; round * kRound < calls; ++round) {
      fuzz.Start(seed, round);
      fuzz.gentle = round % 2 != 0;
      fuzz.Rescript(fake, true);
      ASSERT_HRESULT_SUCCEEDED(c.create(IID_IDispatch, control.put_void()));
      left = std::min(kRound, calls - round * kRound);
      if (fuzz.gentle)
        listening = std::make_unique<testing::Connection>(control.get(), c.events, &sink);
      while (spend()) {
        // The notices of the calls become events here, and host code runs
        // from them; a few at a time, as the watcher may post more meanwhile.
        MSG m;
        for (int n = 0; c.pumps && n < 20 && ::PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE); ++n)
          ::DispatchMessageW(&m);
      }
      listening.reset();
      // The object still answers: the fuzz broke nothing inside it.
      c.stillAnswers(control.get());
      control.reset();
    }
  };
  const auto start = std::chrono::steady_clock::now();
  pass();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const ProcessFigures before = ProcessFigures::Now();
  pass();
  const ProcessFigures after = ProcessFigures::Now();
  fake.Default("SleepEx", FakeAnswer{});  // its hook refers to this test's host
  std::printf("fuzz %s: %ld calls in %.1f s; the same calls again: %s\n", c.name, calls, seconds,
              testing::Delta(before, after).c_str());
  std::printf("fuzz %s, both passes: %ld succeeded, %ld failed inside the member, %ld refused; "
              "%ld events, %ld calls from host code inside the control\n",
              c.name, fuzz.outcomes[0], fuzz.outcomes[1], fuzz.outcomes[2], events, inside);
  // The network names reached the transport, and every one failed there.
  const std::map<DWORD, long> opens = testing::TakeNetworkOpens();
  std::string byError;
  long tried = 0;
  for (const auto& [error, n] : opens) {
    byError += " " + std::to_string(n) + " x " + std::to_string(error) + ";";
    tried += n;
  }
  std::printf("fuzz %s, both passes: %ld opens of network names, by error:%s\n", c.name, tried,
              byError.c_str());
  EXPECT_EQ(opens.count(0), 0u) << "a network name opened";
  EXPECT_EQ(transport::OpenNetworkHandles(), 0u);
  if (calls >= kRound) {
    EXPECT_GT(tried, 0) << "no network name reached the transport";
  }
  EXPECT_EQ(fuzz.faults, 0);
  EXPECT_TRUE(com::CanUnload()) << "every object was destroyed";
  // A leak of one small block per call would pass 300 KiB over 20,000 calls.
  EXPECT_LT(after.memory - before.memory, 64 * 1024) << testing::Delta(before, after);
  EXPECT_LE(after.handles - before.handles, 0) << testing::Delta(before, after);
}

TEST_F(InvokeFuzz, NoCallCrashesHangsOrLeaksMemoryOrHandles) { Run(kSerialControl); }

TEST_F(InvokeFuzz, NoCallToSerialPortCrashesHangsOrLeaksMemoryOrHandles) { Run(kSerialPort); }

}  // namespace
}  // namespace vemblaric
