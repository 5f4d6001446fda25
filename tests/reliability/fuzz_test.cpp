// IDispatch::Invoke of the control with whatever a careless or hostile caller
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
// be reached with every value, waitnow with a year included.
//
// Every other round an event sink listens, so Open_Com and Write_Com run the
// receive loop. Then the calls go on from inside the control, as a host's
// would: one from each event and one from the pump after each pause, until
// the round's calls are spent and the sink lets go, which ends the loop. The
// loop, then, ends within the round whatever the calls did to it. In the
// other rounds the pumps of reads and writes run host calls all the same.
//
// Seeded: VEMBLARIC_FUZZ_SEED picks the seed (printed), VEMBLARIC_FUZZ_CALLS
// the number of calls (20,000 in CI; 100,000 or more for a soak).
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "reliability.h"
#include "scripted_system_kernel32.h"
#include "support/com_test.h"

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
// are called, and how many arguments the caller supplies.
struct Member {
  DISPID id;
  WORD flags;
  UINT args;
};
constexpr WORD kMethod = DISPATCH_METHOD, kGet = DISPATCH_PROPERTYGET, kPut = DISPATCH_PROPERTYPUT;
const Member kMembers[] = {
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
const DISPID kStrangeIds[] = {0, -1, DISPID_VALUE, DISPID_NEWENUM, DISPID_PROPERTYPUT,
                              0x60030013, 0x60030020, 0x68030006, 0x7FFFFFFF};
const DWORD kErrors[] = {ERROR_INVALID_HANDLE, ERROR_ACCESS_DENIED,     ERROR_FILE_NOT_FOUND,
                         ERROR_NOT_READY,      ERROR_GEN_FAILURE,       ERROR_OPERATION_ABORTED,
                         ERROR_INVALID_PARAMETER, ERROR_IO_PENDING,     0,
                         0xDEADBEEF};

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
    switch (Pick(8)) {
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

  // Starts round `round` afresh: the same seed and round give the same calls.
  void Start(unsigned seed, long round) { rng_.seed(seed + static_cast<unsigned>(round)); }

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
      fake.Default("ReadFile", read);
    }
    if (all || Chance(30)) {
      FakeAnswer written = answer(20);
      written.count = Chance(70) ? 0xFFFF : Pick(2000);  // more than asked is cut to the length
      fake.Default("WriteFile", written);
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
  HRESULT Call(IDispatch* control) {
    // A listening round opens and writes more often, so that loops run.
    const Member& m = gentle && Chance(10) ? kMembers[Chance(50) ? 0 : 3]
                                           : kMembers[Pick(sizeof kMembers / sizeof *kMembers)];
    const DISPID id =
        Chance(90) ? m.id : kStrangeIds[Pick(sizeof kStrangeIds / sizeof *kStrangeIds)];
    const WORD flags = Chance(75) ? m.flags : kFlags[Pick(sizeof kFlags / sizeof *kFlags)];
    const UINT count = Chance(80) ? m.args : Pick(6);

    if (trace_) std::fprintf(stderr, "Invoke %08lX flags %X with %u arguments\n", id, flags, count);
    std::array<Cell, 6> cells;
    std::vector<VARIANT> args;
    for (UINT i = 0; i < count; ++i) args.push_back(Argument(cells[i]));
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
      Expect(result.vt == VT_EMPTY || result.vt == VT_I2 || result.vt == VT_I4 ||
                 result.vt == VT_BOOL || result.vt == VT_BSTR,
             "a result of a type no member returns");
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

using InvokeFuzz = ComApartment;

TEST_F(InvokeFuzz, NoCallCrashesHangsOrLeaksMemoryOrHandles) {
  const long calls = FromEnvironment("VEMBLARIC_FUZZ_CALLS", 20000);
  const unsigned seed = static_cast<unsigned>(FromEnvironment("VEMBLARIC_FUZZ_SEED", 20261208));
  std::printf("fuzz: seed %u, %ld calls\n", seed, calls);
  FakeKernel32& fake = testing::ScriptedSystemKernel32();
  Fuzz fuzz(seed);
  std::atomic<long> done{0};
  testing::Watchdog watchdog(std::chrono::seconds(10), done, "the Invoke fuzz");

  // In rounds of 1,000 calls, each on a new control and reproducible on its
  // own. After all of them the same rounds run again: the first pass leaves
  // the heap laid out for these sizes, so the second may not grow it at all
  // unless something leaks.
  constexpr long kRound = 1000;
  testing::HostWindow host;
  testing::Sink sink(DIID___SerialControl);
  Ptr<IDispatch> control;
  std::unique_ptr<testing::Connection> listening;
  long left = 0;  // calls left in this round
  auto spend = [&] {
    if (left <= 0) return false;
    --left;
    fuzz.Rescript(fake);
    fuzz.Call(control.get());
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
  sink.handler = [&](DISPID, BSTR*) {
    sink.received.clear();  // the sink's record would grow with every event
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
      ASSERT_HRESULT_SUCCEEDED(
          control_object::CreateSerialControl(IID_IDispatch, control.put_void()));
      left = std::min(kRound, calls - round * kRound);
      if (fuzz.gentle)
        listening = std::make_unique<testing::Connection>(control.get(), DIID___SerialControl,
                                                          &sink);
      while (spend()) {
      }
      // The control still answers: the fuzz broke nothing inside it.
      BSTR company = nullptr;
      ASSERT_HRESULT_SUCCEEDED(
          control.As<_SerialControl>(IID__SerialControl)->get_Company(&company));
      EXPECT_EQ(testing::Str(company), L"Vemblaric serial control");
      ::SysFreeString(company);
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
  std::printf("fuzz: %ld calls in %.1f s; the same calls again: %s\n", calls, seconds,
              testing::Delta(before, after).c_str());
  std::printf("fuzz, both passes: %ld succeeded, %ld failed inside the member, %ld refused; "
              "%ld events, %ld calls from host code inside the control\n",
              fuzz.outcomes[0], fuzz.outcomes[1], fuzz.outcomes[2], events, inside);
  EXPECT_EQ(fuzz.faults, 0);
  EXPECT_TRUE(com::CanUnload()) << "every control was destroyed";
  // A leak of one small block per call would pass 300 KiB over 20,000 calls.
  EXPECT_LT(after.memory - before.memory, 64 * 1024) << testing::Delta(before, after);
  EXPECT_LE(after.handles - before.handles, 0) << testing::Delta(before, after);
}

}  // namespace
}  // namespace vemblaric
