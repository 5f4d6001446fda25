// Benchmarks of the registered control on the null-modem pair, each figure
// measured next to its reference in the same run:
//
//   - CommWrite / CommRead throughput in 1, 16 and 64 KiB blocks against
//     WriteFile / ReadFile on the same port with the same settings;
//   - receive-loop capacity: the highest paced incoming rate that DataArrived
//     delivers for ten seconds with no byte lost or repeated;
//   - DataArrived latency from the peer's write to the handler, for 64-byte
//     and for 16-byte messages, against a plain ReadFile loop;
//   - two paced streams into two controls on one thread, delivered rate and
//     DataArrived latency of each, against one control alone;
//   - CPU of an idle running loop, against the idle process and a busy spin;
//   - IDispatch::Invoke of a property get against the call through the vtable;
//   - a device on another machine: CommWrite throughput and 16-byte latency
//     over rfc2217:// to ser2net on 127.0.0.1, against the local pty; and the
//     same for SerialPort (Write, and latency to DataReceived).
//   - SerialPort, against the control and against kernel32 alone: which wait
//     its watcher gets from the driver, a 16-byte message's latency to
//     DataReceived, a paced stream through DataReceived and ReadBytes, Write
//     and WriteBytes of 1 KiB blocks, and the CPU of an open idle port.
//
//   vemblaric_bench.exe TABLE_FILE SAMPLES_FILE [--quick]
//
// The control is on COM1 and the peer, a thread using kernel32 alone, on
// COM2. The table goes to standard output and to TABLE_FILE; each latency
// sample ("series milliseconds") to SAMPLES_FILE. A figure that misses its
// goal is reported as such; the exit code tells only whether the run worked.
#include <windows.h>
#include <ocidl.h>
#include <oleauto.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "SerialPort.h"
#include "Vemblaric.h"
#include "demo/host_com.h"
// The ports class's identifier is defined here, where the listing row uses it.
#include <initguid.h>
#include "tests/support/ports_class_device.h"

namespace {

using vemblaric::host::ComPtr;
using vemblaric::host::Connection;
using vemblaric::host::ControlEvent;
using vemblaric::host::EventSink;
using vemblaric::host::PortEvent;
using vemblaric::host::PortEventSink;

constexpr short kControlPort = 1;
constexpr long kBaud = 921600;
constexpr char kSettings[] = "baud=921600 parity=N data=8 stop=1";
constexpr DISPID kDispidPort = 0x68030005;

// --- clocks -------------------------------------------------------------------

double Now() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER t;
  ::QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double ProcessCpuSeconds() {
  FILETIME created, exited, kernel, user;
  ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto seconds = [](const FILETIME& f) {
    return static_cast<double>((static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime) /
           1e7;
  };
  return seconds(kernel) + seconds(user);
}

// A small deterministic generator for the pauses between messages.
struct Lcg {
  unsigned state = 12345;
  unsigned next(unsigned limit) {
    state = state * 1103515245u + 12345u;
    return (state >> 16) % limit;
  }
};

// --- raw ports ----------------------------------------------------------------

// A port opened with kernel32 alone. `control` gives it the control's own
// time-outs (under Wine a read waits up to 1 s for what it asks; Windows
// returns what is queued); otherwise a read returns as soon as anything is
// in, or after 100 ms.
class RawPort {
 public:
  RawPort(int number, bool control) {
    const std::string name = "\\\\.\\COM" + std::to_string(number);
    h_ = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h_ == INVALID_HANDLE_VALUE) return;
    ::SetupComm(h_, 1024, 1024);
    ::PurgeComm(h_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    COMMTIMEOUTS t{};
    if (control) {
      t.ReadIntervalTimeout = MAXDWORD;
      t.ReadTotalTimeoutConstant = 1000;
      t.WriteTotalTimeoutMultiplier = 1000;
    } else {
      t.ReadIntervalTimeout = MAXDWORD;
      t.ReadTotalTimeoutMultiplier = MAXDWORD;
      t.ReadTotalTimeoutConstant = 100;
      t.WriteTotalTimeoutConstant = 5000;
    }
    ::SetCommTimeouts(h_, &t);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ::GetCommState(h_, &dcb);
    ::BuildCommDCBA(kSettings, &dcb);
    ::SetCommState(h_, &dcb);
  }
  ~RawPort() {
    if (ok()) ::CloseHandle(h_);
  }
  RawPort(const RawPort&) = delete;
  RawPort& operator=(const RawPort&) = delete;
  bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return h_; }
  DWORD Write(const char* data, DWORD size) {
    DWORD n = 0;
    return ::WriteFile(h_, data, size, &n, nullptr) ? n : 0;
  }
  DWORD Read(char* data, DWORD size) {
    DWORD n = 0;
    return ::ReadFile(h_, data, size, &n, nullptr) ? n : 0;
  }

 private:
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

// Runs a function on a thread of its own; joined, within a bound, when it goes.
class Worker {
 public:
  explicit Worker(std::function<void()> work) : work_(std::move(work)) {
    h_ = ::CreateThread(nullptr, 0, Run, this, 0, nullptr);
  }
  ~Worker() { Join(); }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;
  bool Join(DWORD limitMs = 60000) {
    if (!h_) return true;
    const bool done = ::WaitForSingleObject(h_, limitMs) == WAIT_OBJECT_0;
    ::CloseHandle(h_);
    h_ = nullptr;
    return done;
  }

 private:
  static DWORD WINAPI Run(void* self) {
    static_cast<Worker*>(self)->work_();
    return 0;
  }
  std::function<void()> work_;
  HANDLE h_ = nullptr;
};

class Event {
 public:
  Event() : h_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
  ~Event() { ::CloseHandle(h_); }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  void Set() { ::SetEvent(h_); }
  bool Wait(DWORD ms) { return ::WaitForSingleObject(h_, ms) == WAIT_OBJECT_0; }

 private:
  HANDLE h_;
};

std::string Pattern(size_t size) {
  std::string text(size, ' ');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('!' + (i * 7 + i / 91) % 94);
  return text;
}

// --- the control --------------------------------------------------------------

class Control {
 public:
  bool Create() {
    return SUCCEEDED(vemblaric::host::CreateControl(L"Vemblaric.SerialControl", IID__SerialControl,
                                                    c_.put_void()));
  }
  _SerialControl* operator->() const { return c_.get(); }
  _SerialControl* get() const { return c_.get(); }

  long Open(short slot) { return Open(slot, L"COM" + std::to_wstring(slot)); }
  long Open(short slot, const std::wstring& portName) {
    BSTR name = ::SysAllocString(portName.c_str());
    std::wstring wide(kSettings, kSettings + std::strlen(kSettings));
    BSTR settings = ::SysAllocString(wide.c_str());
    LONG result = -1;
    c_->CommOpen(&slot, &name, &settings, &result);
    ::SysFreeString(name);
    ::SysFreeString(settings);
    return result;
  }
  void Close(short slot) {
    LONG result = 0;
    c_->CommClose(&slot, &result);
  }
  std::string ErrorLine() {
    BSTR message = nullptr;
    LONG result = 0;
    c_->CommGetError(&message, &result);
    std::string out = vemblaric::host::Printable(message);
    ::SysFreeString(message);
    return out;
  }

 private:
  ComPtr<_SerialControl> c_;
};

// Runs the control's receive loop (Open_Com with a sink connected) until
// `until` says so; `start` runs inside the loop, after the open, once.
struct LoopSession {
  Control& control;
  std::function<void(BSTR*)> onArrived;
  std::function<void()> start;

  static LoopSession* current;
  static void CALLBACK Started(HWND, UINT, UINT_PTR timer, DWORD) {
    ::KillTimer(nullptr, timer);
    if (current && current->start) current->start();
  }

  bool Run() {
    EventSink sink(DIID___SerialControl, [this](ControlEvent event, BSTR* text) {
      if (event == ControlEvent::DataArrived && onArrived) onArrived(text);
    });
    Connection connection;
    if (FAILED(connection.Connect(control.get(), DIID___SerialControl, &sink))) return false;
    control->put_Port(kControlPort);
    control->put_Baud(kBaud);
    current = this;
    ::SetTimer(nullptr, 0, 1, Started);
    control->Open_Com();  // the loop runs here until a quit message
    current = nullptr;
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
    VARIANT_BOOL status = VARIANT_FALSE;
    control->get_Status(&status);
    control->Close_Com();
    connection.Disconnect();
    return true;
  }
};
LoopSession* LoopSession::current = nullptr;

DWORD g_mainThread = 0;
void EndLoop() { ::PostThreadMessageW(g_mainThread, WM_QUIT, 0, 0); }

// --- the table ----------------------------------------------------------------

struct Row {
  std::string figure, measured, reference, ratio, goal, verdict;
};
std::vector<Row> g_rows;
bool g_quick = false;

// The control's figures of this run, beside which SerialPort's are shown.
struct ControlFigures {
  double write1k = 0;          // CommWrite, 1 KiB blocks, bytes per second
  long capacity = 0;           // highest paced rate the receive loop kept
  double shortMedian = 0, shortP99 = 0;  // DataArrived, 16-byte messages, ms
  double idleShare = 0;        // % of a core
} g_control;

std::string Format(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}
std::string Rate(double bytesPerSecond) {
  return bytesPerSecond >= 1e6 ? Format("%.2f MB/s", bytesPerSecond / 1e6)
                               : Format("%.1f kB/s", bytesPerSecond / 1e3);
}
std::string Grouped(long value) {
  std::string digits = std::to_string(value), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}
void Progress(const std::string& text) {
  std::fprintf(stderr, "bench: %s\n", text.c_str());
  std::fflush(stderr);
}

// --- throughput ---------------------------------------------------------------

// Steady-state rates: one side keeps the cable busy for the whole window while
// the other is timed, so the end of a burst (where a read waits for bytes that
// never come) does not count.

// Bytes per second that `write` gets out in `seconds`, the peer draining.
double WriteThroughput(size_t block, double seconds, const std::function<bool(const std::string&)>& write,
                       int peerPort = 2) {
  RawPort peer(peerPort, false);
  if (!peer.ok()) return 0;
  std::atomic<bool> stop{false};
  Worker drain([&] {
    std::vector<char> buffer(65536);
    // Until told to stop and the cable has been quiet for one read.
    while (peer.Read(buffer.data(), static_cast<DWORD>(buffer.size())) > 0 || !stop) {
    }
  });
  const std::string data = Pattern(block);
  size_t sent = 0;
  const double start = Now();
  double end = start;
  while ((end = Now()) - start < seconds) {
    if (!write(data)) break;
    sent += block;
  }
  stop = true;
  drain.Join();
  return static_cast<double>(sent) / (end - start);
}

// Bytes per second that `read` takes in `seconds`, the peer feeding.
double ReadThroughput(double seconds, const std::function<long()>& read) {
  RawPort peer(2, false);
  if (!peer.ok()) return 0;
  const std::string data = Pattern(4096);
  std::atomic<bool> stop{false}, fed{false};
  Worker feed([&] {
    while (!stop && peer.Write(data.data(), static_cast<DWORD>(data.size())) > 0) {
    }
    fed = true;
  });
  size_t got = 0;
  const double start = Now();
  double end = start;
  while ((end = Now()) - start < seconds) {
    const long n = read();
    if (n < 0) break;
    got += static_cast<size_t>(n);
  }
  stop = true;
  // Keep reading until the feeder's last write is through.
  const double limit = Now() + 10;
  while (!fed && Now() < limit) read();
  feed.Join();
  return static_cast<double>(got) / (end - start);
}

void Throughput(Control& control) {
  const size_t blocks[] = {1024, 16384, 65536};
  const double seconds = g_quick ? 0.3 : 1.5;
  for (size_t block : blocks) {
    const std::string label = std::to_string(block / 1024) + " KiB";
    Progress("throughput, " + label + " blocks");
    // The control: CommWrite of a block-long string, through the vtable.
    double ours = 0, raw = 0;
    if (control.Open(kControlPort) == 0) {
      const std::wstring wide = [&] {
        const std::string d = Pattern(block);
        return std::wstring(d.begin(), d.end());
      }();
      ours = WriteThroughput(block, seconds, [&](const std::string&) {
        short slot = kControlPort;
        BSTR text = ::SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
        LONG result = 0;
        control->CommWrite(&slot, &text, &result);
        ::SysFreeString(text);
        return result == static_cast<LONG>(block);
      });
      control.Close(kControlPort);
    }
    {
      RawPort port(kControlPort, true);
      raw = port.ok() ? WriteThroughput(block, seconds, [&](const std::string& data) {
        return port.Write(data.data(), static_cast<DWORD>(data.size())) == data.size();
      })
                      : 0;
    }
    const double ratio = raw > 0 ? ours / raw : 0;
    if (block == 1024) g_control.write1k = ours;
    g_rows.push_back({"CommWrite, " + label + " blocks", Rate(ours), "WriteFile " + Rate(raw),
                      Format("%.2f", ratio), ">= 0.9", ratio >= 0.9 ? "met" : "missed"});

    ours = raw = 0;
    if (control.Open(kControlPort) == 0) {
      ours = ReadThroughput(seconds, [&] {
        short slot = kControlPort;
        BSTR text = nullptr;
        LONG size = static_cast<LONG>(block), result = 0;
        control->CommRead(&slot, &text, &size, &result);
        ::SysFreeString(text);
        return static_cast<long>(result);
      });
      control.Close(kControlPort);
    }
    {
      RawPort port(kControlPort, true);
      std::vector<char> buffer(block);
      raw = port.ok() ? ReadThroughput(seconds, [&] {
        return static_cast<long>(port.Read(buffer.data(), static_cast<DWORD>(block)));
      })
                      : 0;
    }
    const double readRatio = raw > 0 ? ours / raw : 0;
    g_rows.push_back({"CommRead, " + label + " blocks", Rate(ours), "ReadFile " + Rate(raw),
                      Format("%.2f", readRatio), ">= 0.9", readRatio >= 0.9 ? "met" : "missed"});
  }
}

// --- receive-loop capacity ------------------------------------------------------

// Numbered records, so a lost or repeated piece breaks the sequence.
std::string Records(size_t bytes) {
  std::string out;
  out.reserve(bytes + 16);
  char record[16];
  for (unsigned i = 0; out.size() < bytes; ++i) {
    std::snprintf(record, sizeof record, "%09u\n", i);
    out += record;
  }
  out.resize(bytes);
  return out;
}

struct CapacityRun {
  bool delivered = false;  // every byte, once, in order
  bool kept = false;       // the peer kept its pace and the loop kept up
  double delivery = 0;     // bytes per second as DataArrived delivered them
};

CapacityRun Capacity(Control& control, long rate, double seconds) {
  CapacityRun run;
  RawPort peer(2, false);
  if (!peer.ok()) return run;
  const std::string expected = Records(static_cast<size_t>(rate * seconds));
  std::string received;
  received.reserve(expected.size());
  double first = 0, lastWrite = 0, lastArrival = 0;
  Event loopRunning;
  std::atomic<bool> writing{true};
  Worker feed([&] {
    if (!loopRunning.Wait(10000)) {
      EndLoop();
      return;
    }
    // A chunk every 10 ms, against the clock, so lateness does not pile up
    // unseen: the schedule is fixed at the start.
    const size_t chunk = static_cast<size_t>(rate) / 100;
    first = Now();
    size_t sent = 0;
    for (int i = 0; sent < expected.size(); ++i) {
      const double due = first + i * 0.01;
      while (Now() < due) ::Sleep(1);
      const size_t n = std::min(chunk, expected.size() - sent);
      if (peer.Write(expected.data() + sent, static_cast<DWORD>(n)) != n) break;
      sent += n;
    }
    lastWrite = Now();
    writing = false;
    // What is still on its way has one second to arrive.
    const double limit = lastWrite + 1.0;
    while (Now() < limit) ::Sleep(5);
    EndLoop();
  });
  LoopSession session{control,
                      [&](BSTR* text) {
                        const UINT n = ::SysStringLen(*text);
                        for (UINT i = 0; i < n; ++i) received += static_cast<char>((*text)[i]);
                        lastArrival = Now();
                      },
                      [&] { loopRunning.Set(); }};
  session.Run();
  feed.Join();
  run.delivered = received == expected;
  const double planned = seconds;
  const double took = lastWrite - first;
  run.kept = run.delivered && took <= planned * 1.02 + 0.05 && lastArrival - lastWrite <= 1.0;
  run.delivery = lastArrival > first ? static_cast<double>(received.size()) / (lastArrival - first) : 0;
  return run;
}

void LoopCapacity(Control& control) {
  const double seconds = g_quick ? 2 : 10;
  const long goal = 92160;
  long best = 0;
  double bestDelivery = 0;
  std::string firstMiss = "none up to the highest rate tried";
  for (long rate = goal; rate <= 8 * goal; rate *= 2) {
    Progress("receive-loop capacity at " + Grouped(rate) + " B/s for " + Format("%.0f", seconds) + " s");
    const CapacityRun run = Capacity(control, rate, seconds);
    if (!(run.delivered && run.kept)) {
      firstMiss = Grouped(rate) + " B/s (" + (run.delivered ? "fell behind" : "bytes lost or repeated") + ")";
      break;
    }
    best = rate;
    bestDelivery = run.delivery;
  }
  if (best == 0) {
    Progress("capacity below the goal; trying half of it");
    const CapacityRun run = Capacity(control, goal / 2, seconds);
    if (run.delivered && run.kept) {
      best = goal / 2;
      bestDelivery = run.delivery;
    }
  }
  g_control.capacity = best;
  g_rows.push_back({"receive loop: paced rate delivered through DataArrived for " + Format("%.0f", seconds) +
                        " s, no loss",
                    Grouped(best) + " B/s (" + Rate(bestDelivery) + " as delivered)",
                    "first rate missed: " + firstMiss, "", ">= 92,160 B/s",
                    best >= goal ? "met" : "missed"});
}

// --- latency ----------------------------------------------------------------------

double Percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const size_t index = std::min(samples.size() - 1, static_cast<size_t>(p * static_cast<double>(samples.size() - 1) + 0.5));
  return samples[index];
}

// The peer writes `count` messages of `size` bytes, each after the previous
// one was received and a pause of 0-39 ms, so the messages meet the reader at
// every phase of its poll. `received` is called on the reading side.
struct LatencyProbe {
  LatencyProbe(size_t messageSize, int messages) : size(messageSize), count(messages) {}
  size_t size;
  int count;
  std::vector<double> samples;
  std::string pending;
  std::atomic<double> sentAt{0};
  Event arrived;

  void Received(const char* data, size_t n) {
    const double now = Now();
    pending.append(data, n);
    if (pending.size() >= size) {
      samples.push_back((now - sentAt) * 1000.0);
      pending.clear();
      arrived.Set();
    }
  }

  void Feed(RawPort& peer, const std::function<void()>& done) {
    Lcg lcg;
    const std::string message = Pattern(size - 1) + "\n";
    for (int i = 0; i < count; ++i) {
      ::Sleep(lcg.next(40));
      sentAt = Now();
      if (peer.Write(message.data(), static_cast<DWORD>(message.size())) != message.size()) break;
      if (!arrived.Wait(5000)) break;
    }
    done();
  }
};

std::vector<double> ControlLatency(Control& control, size_t size, int count) {
  RawPort peer(2, false);
  if (!peer.ok()) return {};
  LatencyProbe probe(size, count);
  Event loopRunning;
  Worker feed([&] {
    if (loopRunning.Wait(10000)) probe.Feed(peer, [] {});
    EndLoop();
  });
  LoopSession session{control,
                      [&](BSTR* text) {
                        std::string bytes;
                        const UINT n = ::SysStringLen(*text);
                        for (UINT i = 0; i < n; ++i) bytes += static_cast<char>((*text)[i]);
                        probe.Received(bytes.data(), bytes.size());
                      },
                      [&] { loopRunning.Set(); }};
  session.Run();
  feed.Join();
  return probe.samples;
}

// A ReadFile loop: with `controlTimeouts`, the control's own (under Wine a
// read then waits out 1 s for what it asks); without, each read returns at
// once with what is queued, and the loop looks again a millisecond later
// (Wine makes a read that should return as soon as anything is in wait out
// its total time-out, so that is no reference there).
std::vector<double> RawLatency(size_t size, int count, bool controlTimeouts = true) {
  RawPort peer(2, false);
  RawPort port(kControlPort, controlTimeouts);
  if (!peer.ok() || !port.ok()) return {};
  if (!controlTimeouts) {
    COMMTIMEOUTS atOnce{MAXDWORD, 0, 0, 0, 5000};
    ::SetCommTimeouts(port.get(), &atOnce);
  }
  LatencyProbe probe(size, count);
  std::atomic<bool> done{false};
  Worker reader([&] {
    std::vector<char> buffer(64);
    while (!done) {
      const DWORD n = port.Read(buffer.data(), 64);
      if (n) probe.Received(buffer.data(), n);
      else if (!controlTimeouts) ::Sleep(1);
    }
  });
  probe.Feed(peer, [&] { done = true; });
  reader.Join();
  return probe.samples;
}

void Latency(Control& control, FILE* samplesFile) {
  const int longCount = g_quick ? 30 : 300;
  const int shortCount = g_quick ? 3 : 10;
  Progress("DataArrived latency, 64-byte messages");
  const std::vector<double> ours = ControlLatency(control, 64, longCount);
  Progress("ReadFile latency, 64-byte messages");
  const std::vector<double> raw = RawLatency(64, longCount);
  Progress("DataArrived and ReadFile latency, 16-byte messages");
  const std::vector<double> oursShort = ControlLatency(control, 16, shortCount);
  const std::vector<double> rawShort = RawLatency(16, shortCount);
  g_control.shortMedian = Percentile(oursShort, 0.5);
  g_control.shortP99 = Percentile(oursShort, 0.99);
  for (double s : ours) std::fprintf(samplesFile, "DataArrived %.3f\n", s);
  for (double s : raw) std::fprintf(samplesFile, "ReadFile %.3f\n", s);

  const double median = Percentile(ours, 0.5), p99 = Percentile(ours, 0.99);
  const std::string n = " (" + std::to_string(ours.size()) + " of " + std::to_string(longCount) + ")";
  g_rows.push_back({"DataArrived latency, 64-byte messages, median" + n, Format("%.1f ms", median),
                    "ReadFile " + Format("%.1f ms", Percentile(raw, 0.5)), "", "<= 15 ms",
                    median <= 15 && ours.size() == static_cast<size_t>(longCount) ? "met" : "missed"});
  g_rows.push_back({"DataArrived latency, 64-byte messages, p99", Format("%.1f ms", p99),
                    "ReadFile " + Format("%.1f ms", Percentile(raw, 0.99)), "", "<= 30 ms",
                    p99 <= 30 && ours.size() == static_cast<size_t>(longCount) ? "met" : "missed"});
  // Wine's serial read waits out the 1 s time-out for the 64 bytes asked;
  // Windows' returns what is queued at once. So this row measures Wine.
  g_rows.push_back({"DataArrived latency, 16-byte messages, Wine's read wait, median / p99 (" +
                        std::to_string(oursShort.size()) +
                        " of " + std::to_string(shortCount) + ")",
                    Format("%.0f", Percentile(oursShort, 0.5)) + Format(" / %.0f ms", Percentile(oursShort, 0.99)),
                    "ReadFile " + Format("%.0f", Percentile(rawShort, 0.5)) +
                        Format(" / %.0f ms", Percentile(rawShort, 0.99)),
                    "", "Wine's: a read waits 1 s for 64 bytes (Windows: returns what is queued)", "-"});
}

// --- a device on another machine -------------------------------------------------

// The control's port over Telnet to ser2net on 127.0.0.1 (the name comes in
// VEMBLARIC_BENCH_RFC2217; the device's end is COM31), against the same port
// layer on the local pty (COM1, its peer COM2).
constexpr int kNetworkPeerPort = 31;

// Milliseconds from the peer's write of `size` bytes until CommRead, asking
// for what is queued (so that no read waits for more), has them all.
std::vector<double> PolledLatency(Control& control, int peerPort, size_t size, int count) {
  RawPort peer(peerPort, false);
  std::vector<double> samples;
  if (!peer.ok()) return samples;
  const std::string message = Pattern(size);
  for (int i = 0; i < count; ++i) {
    const double sent = Now();
    if (peer.Write(message.data(), static_cast<DWORD>(size)) != size) break;
    size_t got = 0;
    while (got < size && Now() - sent < 5) {
      short slot = kControlPort;
      BSTR text = nullptr;
      LONG wanted = 0, result = 0;
      control->CommRead(&slot, &text, &wanted, &result);
      ::SysFreeString(text);
      if (result < 0) break;
      got += static_cast<size_t>(result);
    }
    if (got < size) break;
    samples.push_back((Now() - sent) * 1000);
    ::Sleep(2);
  }
  return samples;
}

// CommWrite throughput in 16 KiB blocks and 16-byte latency, on `portName`.
// One path to a device, a network one or the local pty: its write rate and a
// 16-byte message's latency samples.
struct PortFigures {
  double rate = 0;
  std::vector<double> latency;
};

// The bench's rfc2217:// address, or "" after a row saying `figure` was not
// measured.
std::wstring NetworkAddress(const std::string& figure) {
  const char* name = std::getenv("VEMBLARIC_BENCH_RFC2217");
  if (!name || !*name) {
    g_rows.push_back({figure + " (rfc2217://)", "not measured", "VEMBLARIC_BENCH_RFC2217 not set", "",
                      "reported", "-"});
    return std::wstring();
  }
  const std::string narrow(name);
  Progress(figure + ": " + narrow);
  return std::wstring(narrow.begin(), narrow.end());
}

// The two rows of a network path against the local pty, the second's ratio
// the network's overhead: `who` names the class, `write` its write call,
// `event` where the 16 bytes are taken; times shown with `digits` decimals.
void NetworkRows(const std::string& who, const std::string& write, const std::string& event,
                 const PortFigures& net, const PortFigures& pty, int count, int digits) {
  const std::string ms = "%." + std::to_string(digits) + "f";
  g_rows.push_back({who + write + ", 16 KiB blocks, rfc2217:// to ser2net on 127.0.0.1", Rate(net.rate),
                    "local pty " + Rate(pty.rate),
                    pty.rate > 0 ? Format("%.2f", net.rate / pty.rate) : "", "reported", "-"});
  const double netMedian = Percentile(net.latency, 0.5), ptyMedian = Percentile(pty.latency, 0.5);
  g_rows.push_back({who + "16 bytes from the device to " + event + ", rfc2217://, median / p99 (" +
                        std::to_string(net.latency.size()) + " of " + std::to_string(count) + ")",
                    Format(ms.c_str(), netMedian) + " / " + Format(ms.c_str(), Percentile(net.latency, 0.99)) + " ms",
                    "local pty " + Format(ms.c_str(), ptyMedian) + " / " +
                        Format(ms.c_str(), Percentile(pty.latency, 0.99)) + " ms (" +
                        std::to_string(pty.latency.size()) + " of " + std::to_string(count) + ")",
                    ptyMedian > 0 ? Format("%.2f", netMedian / ptyMedian) : "", "reported", "-"});
}

PortFigures MeasurePort(Control& control, const std::wstring& portName, int peerPort, int count) {
  PortFigures f;
  constexpr size_t kBlock = 16384;
  const std::string data = Pattern(kBlock);
  const std::wstring wide(data.begin(), data.end());
  if (control.Open(kControlPort, portName) != 0) return f;
  f.rate = WriteThroughput(kBlock, g_quick ? 0.3 : 1.5, [&](const std::string&) {
    short slot = kControlPort;
    BSTR text = ::SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    LONG result = 0;
    control->CommWrite(&slot, &text, &result);
    ::SysFreeString(text);
    return result == static_cast<LONG>(kBlock);
  }, peerPort);
  control.Close(kControlPort);
  // Opened again, so that nothing of the stream is still arriving.
  if (control.Open(kControlPort, portName) != 0) return f;
  f.latency = PolledLatency(control, peerPort, 16, count);
  control.Close(kControlPort);
  return f;
}

void Network(Control& control) {
  const std::wstring address = NetworkAddress("a device on another machine");
  if (address.empty()) return;
  const int count = g_quick ? 20 : 200;
  const PortFigures net = MeasurePort(control, address, kNetworkPeerPort, count);
  Progress("the same on the local pty");
  const PortFigures pty = MeasurePort(control, L"COM" + std::to_wstring(kControlPort), 2, count);
  NetworkRows("", "CommWrite", "CommRead", net, pty, count, 2);
}

// --- several devices on one thread ---------------------------------------------------

// One paced stream of numbered records into one control: what its DataArrived
// delivered, and for each 10 ms chunk the time from the peer's write to the
// event that completed it.
struct PacedStream {
  PacedStream(int peerPort, const std::string& data, size_t chunk)
      : peer(peerPort, false), expected(data), chunkSize(chunk),
        sentAt((data.size() + chunk - 1) / chunk) {}
  RawPort peer;
  std::string expected, received;
  size_t chunkSize;
  std::vector<double> sentAt;      // stamped before each write, then published
  std::atomic<size_t> published{0};
  size_t measured = 0;
  std::vector<double> latencies;   // milliseconds
  double firstArrival = 0, lastArrival = 0;

  // On the writer's thread, for chunk `i`; false when the write fell short.
  bool Send(size_t i) {
    const size_t at = i * chunkSize, n = std::min(chunkSize, expected.size() - at);
    sentAt[i] = Now();
    published.store(i + 1, std::memory_order_release);
    return peer.Write(expected.data() + at, static_cast<DWORD>(n)) == n;
  }
  // On the loop's thread, in DataArrived.
  void Arrived(BSTR text) {
    const double now = Now();
    if (received.empty()) firstArrival = now;
    lastArrival = now;
    const UINT n = ::SysStringLen(text);
    for (UINT i = 0; i < n; ++i) received += static_cast<char>(text[i]);
    const size_t sent = published.load(std::memory_order_acquire);
    while (measured < sent && std::min((measured + 1) * chunkSize, expected.size()) <= received.size())
      latencies.push_back((now - sentAt[measured++]) * 1000.0);
  }
  double Delivered() const {
    return lastArrival > firstArrival ? static_cast<double>(received.size()) / (lastArrival - firstArrival) : 0;
  }
};

std::function<void()> g_inLoop;
void CALLBACK RunInLoop(HWND, UINT, UINT_PTR timer, DWORD) {
  ::KillTimer(nullptr, timer);
  if (g_inLoop) g_inLoop();
}

// Paced streams at `rate` bytes per second each into controls on one thread:
// the first control's Open_Com runs the loop, the others join it from a timer
// that the loop pumps, as a form's button would.
std::vector<std::unique_ptr<PacedStream>> PacedStreams(const std::vector<Control*>& controls, long rate,
                                                       double seconds) {
  const short ports[] = {1, 3};
  const size_t chunk = static_cast<size_t>(rate) / 100;
  std::vector<std::unique_ptr<PacedStream>> streams;
  std::vector<std::unique_ptr<EventSink>> sinks;
  std::vector<std::unique_ptr<Connection>> connections;
  for (size_t i = 0; i < controls.size() && i < 2; ++i) {
    streams.push_back(std::make_unique<PacedStream>(ports[i] + 1, Records(static_cast<size_t>(rate * seconds)), chunk));
    PacedStream* stream = streams.back().get();
    if (!stream->peer.ok()) return {};
    sinks.push_back(std::make_unique<EventSink>(DIID___SerialControl, [stream](ControlEvent event, BSTR* text) {
      if (event == ControlEvent::DataArrived) stream->Arrived(*text);
    }));
    connections.push_back(std::make_unique<Connection>());
    if (FAILED(connections.back()->Connect(controls[i]->get(), DIID___SerialControl, sinks.back().get())))
      return {};
    (*controls[i])->put_Port(ports[i]);
    (*controls[i])->put_Baud(kBaud);
  }
  Event loopRunning;
  Worker feed([&] {
    if (loopRunning.Wait(10000)) {
      const double first = Now();
      bool going = true;
      for (size_t i = 0; going && i < streams[0]->sentAt.size(); ++i) {
        const double due = first + static_cast<double>(i) * 0.01;
        while (Now() < due) ::Sleep(1);
        for (auto& stream : streams) going = stream->Send(i) && going;
      }
      // What is still on its way has one second to arrive.
      const double limit = Now() + 1.0;
      while (Now() < limit) ::Sleep(5);
    }
    EndLoop();  // every control leaves the loop
  });
  g_inLoop = [&] {
    for (size_t i = 1; i < streams.size(); ++i) (*controls[i])->Open_Com();  // joins, returns at once
    loopRunning.Set();
  };
  ::SetTimer(nullptr, 0, 1, RunInLoop);
  (*controls[0])->Open_Com();  // the thread's loop runs here until the quit
  g_inLoop = nullptr;
  feed.Join();
  MSG msg;
  while (::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
  }
  for (size_t i = 0; i < streams.size(); ++i) (*controls[i])->Close_Com();
  return streams;
}

void SeveralDevices(Control& control, Control& second) {
  const double seconds = g_quick ? 2 : 10;
  const long rate = 92160;
  Progress("two paced streams into two controls on one thread, " + Grouped(rate) + " B/s each");
  const auto two = PacedStreams({&control, &second}, rate, seconds);
  Progress("the same stream into one control alone");
  const auto one = PacedStreams({&control}, rate, seconds);
  if (two.size() != 2 || one.size() != 1) {
    g_rows.push_back({"two controls on one thread", "not measured: a port did not open", "", "", "", "-"});
    return;
  }
  const auto whole = [](const PacedStream& s) { return s.received == s.expected; };
  const auto latency = [](const PacedStream& s) {
    return Format("%.1f", Percentile(s.latencies, 0.5)) + Format(" / %.1f ms", Percentile(s.latencies, 0.99));
  };
  const bool met = whole(*two[0]) && whole(*two[1]) && two[0]->Delivered() >= rate * 0.98 &&
                   two[1]->Delivered() >= rate * 0.98;
  g_rows.push_back({"two controls on one thread (COM1, COM3), " + Grouped(rate) + " B/s paced into each for " +
                        Format("%.0f", seconds) + " s: delivered, every byte once",
                    "A " + Rate(two[0]->Delivered()) + (whole(*two[0]) ? "" : " (lost or repeated)") + ", B " +
                        Rate(two[1]->Delivered()) + (whole(*two[1]) ? "" : " (lost or repeated)"),
                    "one control alone " + Rate(one[0]->Delivered()) + (whole(*one[0]) ? "" : " (lost or repeated)"),
                    "", ">= 92,160 B/s each", met ? "met" : "missed"});
  g_rows.push_back({"two controls on one thread: DataArrived latency of a 10 ms chunk, median / p99",
                    "A " + latency(*two[0]) + ", B " + latency(*two[1]), "one control alone " + latency(*one[0]),
                    "", "reported", "-"});
}

// --- idle CPU ---------------------------------------------------------------------

double CpuShare(const std::function<void()>& during) {
  const double cpu0 = ProcessCpuSeconds(), wall0 = Now();
  during();
  return std::max(0.0, (ProcessCpuSeconds() - cpu0) / (Now() - wall0) * 100.0);
}

void IdleCpu(Control& control) {
  const double seconds = g_quick ? 2 : 10;
  Progress("CPU of an idle running loop for " + Format("%.0f", seconds) + " s");
  double loopShare = 0;
  {
    Event loopRunning;
    double cpu0 = 0, wall0 = 0, cpu1 = 0, wall1 = 0;
    Worker timer([&] {
      if (!loopRunning.Wait(10000)) return EndLoop();
      cpu0 = ProcessCpuSeconds();
      wall0 = Now();
      ::Sleep(static_cast<DWORD>(seconds * 1000));
      cpu1 = ProcessCpuSeconds();
      wall1 = Now();
      EndLoop();
    });
    LoopSession session{control, nullptr, [&] { loopRunning.Set(); }};
    session.Run();
    timer.Join();
    loopShare = wall1 > wall0 ? (cpu1 - cpu0) / (wall1 - wall0) * 100.0 : 0;
  }
  const double idle = CpuShare([&] { ::Sleep(static_cast<DWORD>(seconds * 1000)); });
  // The meter itself: a thread that spins for half a second reads near 100 %.
  const double busy = CpuShare([] {
    const double until = Now() + 0.5;
    volatile unsigned spin = 0;
    while (Now() < until) spin = spin + 1;
  });
  g_control.idleShare = loopShare;
  g_rows.push_back({"CPU of an idle running loop (GetProcessTimes)", Format("%.2f %% of a core", loopShare),
                    "idle process " + Format("%.2f %%", idle) + ", busy spin " + Format("%.0f %%", busy), "",
                    "<= 1 %", loopShare <= 1.0 ? "met" : "missed"});
}

// --- Invoke against the vtable ----------------------------------------------------------

void InvokeCost(Control& control) {
  Progress("IDispatch::Invoke against the vtable");
  const int calls = g_quick ? 20000 : 200000;
  short port = 0;
  double start = Now();
  for (int i = 0; i < calls; ++i) control->get_Port(&port);
  const double vtable = (Now() - start) / calls * 1e9;
  DISPPARAMS none{};
  VARIANT result;
  start = Now();
  for (int i = 0; i < calls; ++i) {
    ::VariantInit(&result);
    control->Invoke(kDispidPort, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &result, nullptr,
                    nullptr);
  }
  const double invoke = (Now() - start) / calls * 1e9;
  g_rows.push_back({"Port get through IDispatch::Invoke", Format("%.0f ns a call", invoke),
                    "through the vtable " + Format("%.0f ns", vtable), Format("%.1f x", invoke / vtable),
                    "reported", "-"});
}

// --- SerialPort --------------------------------------------------------------------------

// The SerialPort object, on the control's port at the bench's rate (8N1).
class Port {
 public:
  bool Create() {
    return SUCCEEDED(vemblaric::host::CreateControl(L"Vemblaric.SerialPort", IID_ISerialPort, p_.put_void()));
  }
  ISerialPort* operator->() const { return p_.get(); }
  ISerialPort* get() const { return p_.get(); }
  bool Open(const std::wstring& portName = L"COM1") {
    const vemblaric::Bstr name(portName.c_str());
    return SUCCEEDED(p_->put_PortName(name.get())) && SUCCEEDED(p_->put_BaudRate(kBaud)) &&
           SUCCEEDED(p_->Open());
  }
  // Appends what ReadBytes(count) hands out; its size, or -1 when it failed.
  long TakeBytes(long count, std::string& into) {
    vemblaric::Variant bytes;
    if (FAILED(p_->ReadBytes(count, bytes.put())) || bytes->vt != (VT_ARRAY | VT_UI1)) return -1;
    const long n = static_cast<long>(bytes->parray->rgsabound[0].cElements);
    void* raw = nullptr;
    if (n && SUCCEEDED(::SafeArrayAccessData(bytes->parray, &raw))) {
      into.append(static_cast<const char*>(raw), static_cast<size_t>(n));
      ::SafeArrayUnaccessData(bytes->parray);
    }
    return n;
  }

 private:
  ComPtr<ISerialPort> p_;
};

// The port open with a sink connected whose DataReceived calls `received`
// with the count it reports; closed and disconnected when it goes.
class ListeningPort {
 public:
  ListeningPort(Port& port, std::function<void(long)> received, std::wstring name = L"COM1")
      : port_(port), name_(std::move(name)), received_(std::move(received)),
        sink_(DIID_ISerialPortEvents, [this](PortEvent event, long count) {
          if (event == PortEvent::DataReceived && received_) received_(count);
        }) {}
  ~ListeningPort() {
    port_->Close();
    connection_.Disconnect();
  }
  ListeningPort(const ListeningPort&) = delete;
  ListeningPort& operator=(const ListeningPort&) = delete;
  bool Open() {
    return SUCCEEDED(connection_.Connect(port_.get(), DIID_ISerialPortEvents, &sink_)) && port_.Open(name_);
  }

 private:
  Port& port_;
  std::wstring name_;
  std::function<void(long)> received_;
  PortEventSink sink_;
  Connection connection_;
};

// The host's message loop, where the port's events come from, until a
// worker's EndLoop.
void PumpUntilQuit() {
  MSG msg;
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) ::DispatchMessageW(&msg);
}

// How the watcher will wait on this driver, found as the watcher finds it:
// the driver's communication-event wait when SetCommMask is taken and
// WaitCommEvent, pending, completes with an event once a byte comes;
// otherwise it looks at the queue every few milliseconds.
std::string DriverEventWait() {
  RawPort peer(2, false);
  if (!peer.ok()) return "not measured: COM2 did not open";
  const HANDLE h = ::CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "not measured: COM1 did not open";
  OVERLAPPED ov{};
  ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const DWORD mask = EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_RING | EV_ERR;
  std::string verdict;
  DWORD events = 0;
  if (!::SetCommMask(h, mask)) {
    verdict = "SetCommMask refused (error " + std::to_string(::GetLastError()) + "): the watcher polls";
  } else if (::WaitCommEvent(h, &events, &ov)) {
    verdict = events ? "WaitCommEvent completed at once with events: the watcher waits on them"
                     : "WaitCommEvent reported nothing: the watcher polls";
  } else if (::GetLastError() != ERROR_IO_PENDING) {
    verdict = "WaitCommEvent refused (error " + std::to_string(::GetLastError()) + "): the watcher polls";
  } else {
    const double sent = Now();
    peer.Write("x", 1);
    if (::WaitForSingleObject(ov.hEvent, 2000) != WAIT_OBJECT_0) {
      verdict = "WaitCommEvent pending, no event within 2 s of a byte";
      ::SetCommMask(h, 0);
      ::CancelIoEx(h, &ov);
      ::WaitForSingleObject(ov.hEvent, 2000);
    } else {
      const double took = (Now() - sent) * 1000;
      DWORD ignored = 0;
      char bits[16];
      std::snprintf(bits, sizeof bits, "0x%lX", static_cast<unsigned long>(events));
      if (!::GetOverlappedResult(h, &ov, &ignored, FALSE))
        verdict = "WaitCommEvent failed (error " + std::to_string(::GetLastError()) + "): the watcher polls";
      else if (events == 0)
        verdict = "WaitCommEvent completed with no event: the watcher polls";
      else
        verdict = std::string("WaitCommEvent works (events ") + bits + ", " + Format("%.1f ms after a byte", took) +
                  "): the watcher waits on it";
    }
  }
  ::CloseHandle(ov.hEvent);
  ::CloseHandle(h);
  return verdict;
}

// On `name`, the peer (the device) on COM`peerPort`.
std::vector<double> PortLatency(Port& port, size_t size, int count, const std::wstring& name = L"COM1",
                                int peerPort = 2) {
  RawPort peer(peerPort, false);
  if (!peer.ok()) return {};
  LatencyProbe probe(size, count);
  std::string bytes;
  ListeningPort listening(port, [&](long n) {
    bytes.clear();
    if (port.TakeBytes(n, bytes) > 0) probe.Received(bytes.data(), bytes.size());
  }, name);
  if (!listening.Open()) return {};
  Worker feed([&] {
    probe.Feed(peer, [] {});
    EndLoop();
  });
  PumpUntilQuit();
  feed.Join();
  return probe.samples;
}

struct StreamRun {
  bool whole = false;     // every byte, once, in order
  bool kept = false;      // the peer kept its pace and the events kept up
  double delivered = 0;   // bytes per second as DataReceived delivered them
  long events = 0;
};

// A paced stream of numbered records, a chunk every 10 ms, into the port;
// each DataReceived takes the count it reports with ReadBytes.
StreamRun PortStream(Port& port, long rate, double seconds) {
  StreamRun run;
  RawPort peer(2, false);
  if (!peer.ok()) return run;
  const std::string expected = Records(static_cast<size_t>(rate * seconds));
  std::string received;
  received.reserve(expected.size());
  double first = 0, lastWrite = 0, lastArrival = 0;
  ListeningPort listening(port, [&](long n) {
    if (port.TakeBytes(n, received) > 0) {
      lastArrival = Now();
      ++run.events;
    }
  });
  if (!listening.Open()) return run;
  Worker feed([&] {
    const size_t chunk = static_cast<size_t>(rate) / 100;
    first = Now();
    size_t sent = 0;
    for (int i = 0; sent < expected.size(); ++i) {
      const double due = first + i * 0.01;
      while (Now() < due) ::Sleep(1);
      const size_t n = std::min(chunk, expected.size() - sent);
      if (peer.Write(expected.data() + sent, static_cast<DWORD>(n)) != n) break;
      sent += n;
    }
    lastWrite = Now();
    // What is still on its way has one second to arrive.
    while (Now() < lastWrite + 1.0) ::Sleep(5);
    EndLoop();
  });
  PumpUntilQuit();
  feed.Join();
  run.whole = received == expected;
  run.kept = run.whole && lastWrite - first <= seconds * 1.02 + 0.05 && lastArrival - lastWrite <= 1.0;
  run.delivered = lastArrival > first ? static_cast<double>(received.size()) / (lastArrival - first) : 0;
  return run;
}

double PortIdleShare(Port& port, double seconds) {
  ListeningPort listening(port, [](long) {});
  if (!listening.Open()) return -1;
  double cpu0 = 0, wall0 = 0, cpu1 = 0, wall1 = 0;
  Worker meter([&] {
    ::Sleep(200);  // past the open
    cpu0 = ProcessCpuSeconds();
    wall0 = Now();
    ::Sleep(static_cast<DWORD>(seconds * 1000));
    cpu1 = ProcessCpuSeconds();
    wall1 = Now();
    EndLoop();
  });
  PumpUntilQuit();
  meter.Join();
  return wall1 > wall0 ? (cpu1 - cpu0) / (wall1 - wall0) * 100.0 : 0;
}

// A closed port with a sink connected: what watching the port list costs (a
// look at the device map and the DOS names once a second, on a thread of its
// own, and nothing on the host's).
double WatchingShare(Port& port, double seconds) {
  PortEventSink sink(DIID_ISerialPortEvents, [](PortEvent, long) {});
  Connection connection;
  if (FAILED(connection.Connect(port.get(), DIID_ISerialPortEvents, &sink))) return -1;
  double cpu0 = 0, wall0 = 0, cpu1 = 0, wall1 = 0;
  Worker meter([&] {
    ::Sleep(1200);  // past the first looks
    cpu0 = ProcessCpuSeconds();
    wall0 = Now();
    ::Sleep(static_cast<DWORD>(seconds * 1000));
    cpu1 = ProcessCpuSeconds();
    wall1 = Now();
    EndLoop();
  });
  PumpUntilQuit();
  meter.Join();
  connection.Disconnect();
  return wall1 > wall0 ? (cpu1 - cpu0) / (wall1 - wall0) * 100.0 : 0;
}

// WriteFile on COM1 opened for overlapped transfers, as SerialPort opens it
// (its watcher waits on the device while the host writes), each write
// waited for: what kernel32 alone does in the class's place.
double OverlappedWriteThroughput(size_t block, double seconds) {
  const HANDLE h = ::CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 5000};
  ::SetCommTimeouts(h, &t);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ::GetCommState(h, &dcb);
  ::BuildCommDCBA(kSettings, &dcb);
  ::SetCommState(h, &dcb);
  const HANDLE done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const double rate = WriteThroughput(block, seconds, [&](const std::string& data) {
    OVERLAPPED ov{};
    ov.hEvent = done;
    ::ResetEvent(done);
    DWORD n = 0;
    if (!::WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &n, &ov) &&
        (::GetLastError() != ERROR_IO_PENDING || !::GetOverlappedResult(h, &ov, &n, TRUE)))
      return false;
    return n == data.size();
  });
  ::CloseHandle(done);
  ::CloseHandle(h);
  return rate;
}

void SerialPortFigures(Port& port, FILE* samplesFile) {
  Progress("SerialPort: the driver's event wait");
  g_rows.push_back({"SerialPort: how its watcher waits on this driver", DriverEventWait(), "", "", "reported", "-"});

  const int count = g_quick ? 30 : 300;
  Progress("SerialPort: DataReceived latency, 16-byte messages");
  const std::vector<double> ours = PortLatency(port, 16, count);
  Progress("ReadFile latency, 16-byte messages, a loop looking every millisecond");
  const std::vector<double> raw = RawLatency(16, count, false);
  for (double sample : ours) std::fprintf(samplesFile, "DataReceived %.3f\n", sample);
  const bool all = ours.size() == static_cast<size_t>(count);
  const std::string n = " (" + std::to_string(ours.size()) + " of " + std::to_string(count) + ")";
  const double median = Percentile(ours, 0.5), p99 = Percentile(ours, 0.99);
  g_rows.push_back({"SerialPort: DataReceived latency, 16-byte messages, median" + n, Format("%.1f ms", median),
                    "ReadFile every 1 ms " + Format("%.1f ms", Percentile(raw, 0.5)) + "; control's DataArrived " +
                        Format("%.0f ms", g_control.shortMedian),
                    "", "<= 5 ms", all && median <= 5 ? "met" : "missed"});
  g_rows.push_back({"SerialPort: DataReceived latency, 16-byte messages, p99", Format("%.1f ms", p99),
                    "ReadFile every 1 ms " + Format("%.1f ms", Percentile(raw, 0.99)) + "; control's DataArrived " +
                        Format("%.0f ms", g_control.shortP99),
                    "", "<= 20 ms", all && p99 <= 20 ? "met" : "missed"});

  const long rate = 184320;
  const double seconds = g_quick ? 2 : 10;
  Progress("SerialPort: " + Grouped(rate) + " B/s paced for " + Format("%.0f", seconds) + " s");
  const StreamRun stream = PortStream(port, rate, seconds);
  g_rows.push_back({"SerialPort: " + Grouped(rate) + " B/s paced for " + Format("%.0f", seconds) +
                        " s through DataReceived + ReadBytes, every byte once and in order",
                    Rate(stream.delivered) + " as delivered, " + std::to_string(stream.events) + " events" +
                        (stream.whole ? "" : " (bytes lost or repeated)") +
                        (stream.whole && !stream.kept ? " (fell behind)" : ""),
                    "control's receive loop kept " + Grouped(g_control.capacity) + " B/s", "",
                    "all bytes at this pace", stream.kept ? "met" : "missed"});

  const double window = g_quick ? 0.3 : 1.5;
  Progress("SerialPort: Write and WriteBytes, 1 KiB blocks");
  const std::string block = Pattern(1024);
  const std::wstring wide(block.begin(), block.end());
  const vemblaric::Bstr text(wide.c_str(), static_cast<UINT>(wide.size()));
  vemblaric::Variant bytes;
  bytes->parray = ::SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(block.size()));
  if (bytes->parray) {
    bytes->vt = VT_ARRAY | VT_UI1;
    void* data = nullptr;
    ::SafeArrayAccessData(bytes->parray, &data);
    std::memcpy(data, block.data(), block.size());
    ::SafeArrayUnaccessData(bytes->parray);
  }
  double write = 0, writeBytes = 0, raw1k = 0;
  if (port.Open()) {
    write = WriteThroughput(1024, window, [&](const std::string&) { return SUCCEEDED(port->Write(text.get())); });
    writeBytes =
        WriteThroughput(1024, window, [&](const std::string&) { return SUCCEEDED(port->WriteBytes(*bytes.get())); });
    port->Close();
  }
  {
    RawPort plain(kControlPort, false);
    raw1k = plain.ok() ? WriteThroughput(1024, window, [&](const std::string& data) {
      return plain.Write(data.data(), static_cast<DWORD>(data.size())) == data.size();
    })
                       : 0;
  }
  const double overlapped1k = OverlappedWriteThroughput(1024, window);
  for (const auto& [label, ours1k] : {std::make_pair("Write", write), std::make_pair("WriteBytes", writeBytes)}) {
    const double ratio = raw1k > 0 ? ours1k / raw1k : 0;
    g_rows.push_back({std::string("SerialPort: ") + label + ", 1 KiB blocks", Rate(ours1k),
                      "WriteFile " + Rate(raw1k) + "; on an overlapped handle, as the class opens it, " +
                          Rate(overlapped1k) + " (" + Format("%.2f", raw1k > 0 ? overlapped1k / raw1k : 0) +
                          "); control's CommWrite " + Rate(g_control.write1k),
                      Format("%.2f", ratio), ">= 0.9", ratio >= 0.9 ? "met" : "missed"});
  }

  const double idleSeconds = g_quick ? 2 : 10;
  Progress("SerialPort: CPU of an open idle port for " + Format("%.0f", idleSeconds) + " s");
  const double idle = PortIdleShare(port, idleSeconds);
  g_rows.push_back({"SerialPort: CPU of an open idle port, a sink connected (GetProcessTimes)",
                    Format("%.2f %% of a core", idle),
                    "control's idle running loop " + Format("%.2f %%", g_control.idleShare), "", "<= 0.5 %",
                    idle >= 0 && idle <= 0.5 ? "met" : "missed"});
  Progress("SerialPort: CPU of a closed port watching the port list for " + Format("%.0f", idleSeconds) + " s");
  const double watching = WatchingShare(port, idleSeconds);
  g_rows.push_back({"SerialPort: CPU of a closed port with a PortsChanged handler (GetProcessTimes)",
                    Format("%.2f %% of a core", watching), "an open idle port " + Format("%.2f %%", idle), "",
                    "<= 0.5 %", watching >= 0 && watching <= 0.5 ? "met" : "missed"});
}

// --- SerialPort on a device on another machine ------------------------------------------

// SerialPort over rfc2217:// to ser2net on 127.0.0.1 (the device on COM31)
// against SerialPort on the local pty (COM1, its peer COM2), in the same run:
// Write of 16 KiB blocks with the device draining, and the latency of a
// 16-byte message to the DataReceived handler that took it.
PortFigures MeasurePortPath(Port& port, const std::wstring& name, int peerPort, int count) {
  PortFigures f;
  constexpr size_t kBlock = 16384;
  const std::string block = Pattern(kBlock);
  const std::wstring wide(block.begin(), block.end());
  const vemblaric::Bstr text(wide.c_str(), static_cast<UINT>(wide.size()));
  if (port.Open(name)) {
    f.rate = WriteThroughput(kBlock, g_quick ? 0.3 : 1.5,
                             [&](const std::string&) { return SUCCEEDED(port->Write(text.get())); }, peerPort);
    port->Close();
  }
  f.latency = PortLatency(port, 16, count, name, peerPort);
  return f;
}

void NetworkSerialPort(Port& port, FILE* samplesFile) {
  const std::wstring address = NetworkAddress("SerialPort on a device on another machine");
  if (address.empty()) return;
  const int count = g_quick ? 20 : 200;
  const PortFigures net = MeasurePortPath(port, address, kNetworkPeerPort, count);
  Progress("SerialPort, the same on the local pty");
  const PortFigures pty = MeasurePortPath(port, L"COM" + std::to_wstring(kControlPort), 2, count);
  for (double sample : net.latency) std::fprintf(samplesFile, "DataReceived-rfc2217 %.3f\n", sample);
  NetworkRows("SerialPort: ", "Write", "DataReceived", net, pty, count, 1);
}

// GetPorts on a machine with 20 adapters: 20 devices of the ports class
// registered in the prefix for the row's length, each listed with its facts.
void PortListing(Port& port) {
  Progress("SerialPort: GetPorts with 20 ports");
  std::vector<std::unique_ptr<vemblaric::testing::PortsClassDevice>> devices;
  for (int i = 0; i < 20; ++i) {
    const std::wstring n = std::to_wstring(200 + i);
    devices.push_back(std::make_unique<vemblaric::testing::PortsClassDevice>(vemblaric::testing::DeviceRecord{
        L"COM" + n, L"USB\\VID_0403&PID_6001\\BENCH" + n, L"USB Serial Port (COM" + n + L")",
        vemblaric::testing::IdList({L"USB\\VID_0403&PID_6001&REV_0600"}), L"FTDI", L"Port_#0001.Hub_#0002"}));
    if (!devices.back()->ready()) {
      g_rows.push_back({"SerialPort: GetPorts with 20 ports", "not measured: a device could not be registered",
                        "", "", "<= 50 ms", "-"});
      return;
    }
  }
  std::vector<double> took;
  LONG count = 0;
  for (int run = 0; run < (g_quick ? 5 : 50); ++run) {
    const double start = Now();
    ComPtr<ISerialPortInfos> ports;
    if (FAILED(port->GetPorts(ports.put()))) break;
    ports->get_Count(&count);
    for (LONG i = 1; i <= count; ++i) {
      ComPtr<ISerialPortInfo> info;
      vemblaric::Bstr serial;
      if (SUCCEEDED(ports->Item(i, info.put()))) info->get_SerialNumber(serial.put());
    }
    took.push_back((Now() - start) * 1000.0);
  }
  if (took.empty()) return;
  const double median = Percentile(took, 0.5);
  g_rows.push_back({"SerialPort: GetPorts with 20 ports of the ports class (" + std::to_string(count) +
                        " listed), each port's SerialNumber read, median / worst of " + std::to_string(took.size()),
                    Format("%.1f", median) + " / " + Format("%.1f ms", *std::max_element(took.begin(), took.end())),
                    "", "", "<= 50 ms", median <= 50 ? "met" : "missed"});
}

void PrintTable(FILE* out) {
  std::fprintf(out, "| figure | Vemblaric | reference, same run | ratio | goal | |\n");
  std::fprintf(out, "|---|---|---|---|---|---|\n");
  for (const Row& r : g_rows)
    std::fprintf(out, "| %s | %s | %s | %s | %s | %s |\n", r.figure.c_str(), r.measured.c_str(), r.reference.c_str(),
                 r.ratio.c_str(), r.goal.c_str(), r.verdict.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: vemblaric_bench TABLE_FILE SAMPLES_FILE [--quick]\n");
    return 2;
  }
  g_quick = argc > 3 && std::strcmp(argv[3], "--quick") == 0;
  g_mainThread = ::GetCurrentThreadId();
  vemblaric::host::Apartment apartment;
  Control control;
  if (FAILED(apartment.status()) || !control.Create()) {
    std::fprintf(stderr, "bench: Vemblaric.SerialControl cannot be created; is it registered?\n");
    return 1;
  }
  if (control.Open(kControlPort) != 0) {
    std::fprintf(stderr, "bench: COM%d cannot be opened: %s\n", kControlPort, control.ErrorLine().c_str());
    return 1;
  }
  control.Close(kControlPort);

  FILE* samples = std::fopen(argv[2], "w");
  if (!samples) return 1;
  Throughput(control);
  LoopCapacity(control);
  Latency(control, samples);
  Control second;
  if (second.Create()) SeveralDevices(control, second);
  IdleCpu(control);
  InvokeCost(control);
  Network(control);
  Port port;
  const bool havePort = port.Create();
  if (havePort) NetworkSerialPort(port, samples);
  if (havePort) SerialPortFigures(port, samples);
  if (havePort) PortListing(port);
  else g_rows.push_back({"SerialPort", "not measured: Vemblaric.SerialPort cannot be created", "", "", "", "-"});
  std::fclose(samples);

  PrintTable(stdout);
  FILE* table = std::fopen(argv[1], "w");
  if (!table) return 1;
  PrintTable(table);
  std::fclose(table);
  return 0;
}
