// A console host for the serial control, using it only as any host would: it
// creates Vemblaric.SerialControl by its programmatic identifier, calls it by
// member name through IDispatch, and listens to DataArrived and DataSent
// through a sink on the control's event interface.
//
//   vemblaric_demo.exe PORT BAUD [TEXT...]
//
// It opens COM<PORT>, shows the modem status lines, then sends each TEXT
// (followed by CR LF), and after them each line of standard input. A text is
// sent when the peer has answered the previous one, or after three seconds of
// silence. Every DataSent and DataArrived is shown with the time since start.
// The port is closed when the peer sends a line "quit", when the input ends
// and the last answer is in, or on Ctrl+C. Any failure is shown with the
// control's Status and its CommGetError line; the exit code is then 1.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>

#include "demo/host_com.h"

namespace {

using namespace vemblaric::host;

constexpr wchar_t kProgId[] = L"Vemblaric.SerialControl";
constexpr UINT kStart = WM_APP + 1;     // the loop runs: show the lines, start sending
constexpr UINT kInputLine = WM_APP + 2;  // lParam: a new std::wstring from standard input
constexpr UINT kInputEnd = WM_APP + 3;
constexpr UINT kSendNext = WM_APP + 4;
constexpr UINT_PTR kAnswerTimer = 1;
constexpr UINT kAnswerWaitMs = 3000;

// The modem status inputs, by the status bit that CommGetLine tests.
struct ModemLine {
  const char* name;
  short mask;
};
constexpr ModemLine kModemLines[] = {
    {"CTS (clear to send)", 0x10},
    {"DSR (data set ready)", 0x20},
    {"RI  (ring indicator)", 0x40},
    {"DCD (carrier detect)", 0x80},
};

LARGE_INTEGER g_start, g_frequency;
DWORD g_mainThread = 0;
std::atomic<bool> g_interrupted{false};

void Say(const char* format, const std::string& text = std::string()) {
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  const double seconds =
      static_cast<double>(now.QuadPart - g_start.QuadPart) / static_cast<double>(g_frequency.QuadPart);
  std::printf("[%7.3f s] ", seconds);
  std::printf(format, text.c_str());
  std::printf("\n");
  std::fflush(stdout);
}

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
  g_interrupted = true;
  // The receive loop pumps this thread's messages once per pass; a quit met
  // there ends the loop, and Open_Com returns to main.
  ::PostThreadMessageW(g_mainThread, WM_QUIT, 0, 0);
  return TRUE;
}

// Reads standard input line by line and hands each line to the window.
DWORD WINAPI ReadInput(void* window) {
  const HWND hwnd = static_cast<HWND>(window);
  char line[4096];
  while (std::fgets(line, sizeof line, stdin)) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    auto* wide = new std::wstring(text.begin(), text.end());
    if (!::PostMessageW(hwnd, kInputLine, 0, reinterpret_cast<LPARAM>(wide))) delete wide;
  }
  ::PostMessageW(hwnd, kInputEnd, 0, 0);
  return 0;
}

class DemoHost {
 public:
  DemoHost(IDispatch* control, short port) : calls_(control), port_(port) {}

  // Shows Status and the control's own account of its last failure.
  void ShowFailure(const char* what) {
    Variant status;
    calls_.Get(L"Status", status);
    Say("FAILED: %s", what);
    Say("  Status       = %s", Number(status) ? "True" : "False");
    Say("  CommGetError : %s", ErrorLine());
  }

  std::string ErrorLine() {
    Variant message(L""), result;
    VARIANT byRef;
    byRef.vt = VT_BYREF | VT_BSTR;
    byRef.pbstrVal = &message.get()->bstrVal;
    const HRESULT hr = calls_.Call(L"CommGetError", {&byRef}, result.get());
    if (FAILED(hr)) return "(CommGetError itself failed: " + HexStatus(hr) + ")";
    std::wstring line(message.get()->bstrVal ? message.get()->bstrVal : L"",
                      ::SysStringLen(message.get()->bstrVal));
    // System messages end in a line break of their own.
    while (!line.empty() && (line.back() == L'\r' || line.back() == L'\n' || line.back() == L' '))
      line.pop_back();
    return Printable(line);
  }

  void ShowModemLines() {
    Say("modem status lines of COM%s (CommGetLine):", std::to_string(port_));
    std::string lastError;
    for (const ModemLine& line : kModemLines) {
      Variant result;
      VARIANT portArg, lineArg, stateArg;
      short portId = port_, mask = line.mask;
      VARIANT_BOOL state = VARIANT_FALSE;
      portArg.vt = VT_BYREF | VT_I2;
      portArg.piVal = &portId;
      lineArg.vt = VT_BYREF | VT_I2;
      lineArg.piVal = &mask;
      stateArg.vt = VT_BYREF | VT_BOOL;
      stateArg.pboolVal = &state;
      const HRESULT hr = calls_.Call(L"CommGetLine", {&portArg, &lineArg, &stateArg}, result.get());
      const std::string name = line.name;
      if (FAILED(hr)) {
        Say("  %s", name + ": the call failed, " + HexStatus(hr));
      } else if (Number(result) == 0) {
        Say("  %s", name + ": " + (state ? "on" : "off"));
      } else {
        Say("  %s", name + ": cannot be read (result " + std::to_string(Number(result)) + ")");
        // The same reason for every line is said once.
        const std::string error = ErrorLine();
        if (error != lastError) Say("    CommGetError: %s", error);
        lastError = error;
      }
    }
  }

  void Queue(std::wstring text) { pending_.push_back(std::move(text)); }
  void InputEnded() { inputOpen_ = false; }
  void SetWindow(HWND hwnd) { window_ = hwnd; }
  bool failed() const { return failed_; }

  // Sends the next queued text, or closes when nothing more can come.
  void SendNext() {
    if (closing_ || awaitingAnswer_) return;
    if (pending_.empty()) {
      if (!inputOpen_) Close("end of input");
      return;
    }
    std::wstring text = pending_.front();
    pending_.pop_front();
    Variant data((text + L"\r\n").c_str());
    Say("Write_Com \"%s\" (and CR LF)", Printable(text));
    // Write_Com pumps messages; nothing queued there may start a second send.
    awaitingAnswer_ = true;
    const HRESULT hr = calls_.Call(L"Write_Com", {data.get()});
    Variant status;
    calls_.Get(L"Status", status);
    if (FAILED(hr) || !Number(status)) {
      ShowFailure("Write_Com did not send the whole text");
      failed_ = true;
      Close("a write failed");
      return;
    }
    ::SetTimer(window_, kAnswerTimer, kAnswerWaitMs, nullptr);
  }

  void AnswerTimedOut() {
    ::KillTimer(window_, kAnswerTimer);
    if (!awaitingAnswer_) return;
    Say("(no answer within %s s; going on)", std::to_string(kAnswerWaitMs / 1000));
    awaitingAnswer_ = false;
    SendNext();
  }

  void OnEvent(ControlEvent event, BSTR* text) {
    if (event == ControlEvent::DataSent) {
      Say("DataSent    \"%s\"", Printable(*text));
      return;
    }
    Say("DataArrived \"%s\"", Printable(*text));
    received_.append(*text ? *text : L"", ::SysStringLen(*text));
    // Whole lines only: a read may end in the middle of one.
    for (size_t end; (end = received_.find(L'\n')) != std::wstring::npos;) {
      std::wstring line = received_.substr(0, end);
      received_.erase(0, end + 1);
      if (!line.empty() && line.back() == L'\r') line.pop_back();
      if (line == L"quit") {
        Close("the peer said quit");
        return;
      }
      if (awaitingAnswer_) {
        awaitingAnswer_ = false;
        ::KillTimer(window_, kAnswerTimer);
        // Sent from the window rather than from inside the event, so the
        // handler returns to the loop at once.
        ::PostMessageW(window_, kSendNext, 0, 0);
      }
    }
  }

  // Close_Com ends the receive loop after its current pass, so Open_Com
  // returns to main.
  void Close(const char* reason) {
    if (closing_) return;
    closing_ = true;
    ::KillTimer(window_, kAnswerTimer);
    Say("closing: %s; Close_Com", reason);
    const HRESULT hr = calls_.Call(L"Close_Com", {});
    if (FAILED(hr)) {
      ShowFailure("Close_Com");
      failed_ = true;
    }
  }
  bool closing() const { return closing_; }

 private:
  LateBound calls_;
  short port_;
  HWND window_ = nullptr;
  std::deque<std::wstring> pending_;
  std::wstring received_;
  bool inputOpen_ = true;
  bool awaitingAnswer_ = false;
  bool closing_ = false;
  bool failed_ = false;
};

DemoHost* g_host = nullptr;

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kStart:
      Say("the receive loop is running (messages are pumped once per pass)");
      Say("%s", "(a reply shorter than 64 bytes arrives on the next pass on Windows, and about a second "
                "later under Wine, whose serial read waits out the port's 1 s time-out for 64 bytes)");
      g_host->ShowModemLines();
      g_host->SendNext();
      return 0;
    case kInputLine: {
      std::wstring* line = reinterpret_cast<std::wstring*>(lParam);
      g_host->Queue(std::move(*line));
      delete line;
      g_host->SendNext();
      return 0;
    }
    case kInputEnd:
      g_host->InputEnded();
      g_host->SendNext();
      return 0;
    case kSendNext:
      g_host->SendNext();
      return 0;
    case WM_TIMER:
      if (wParam == kAnswerTimer) g_host->AnswerTimedOut();
      return 0;
    default:
      return ::DefWindowProcW(hwnd, message, wParam, lParam);
  }
}

int Usage() {
  std::fprintf(stderr,
               "usage: vemblaric_demo PORT BAUD [TEXT...]\n"
               "  PORT 1-4 (COM1-COM4), BAUD e.g. 57600; each TEXT, then each input line,\n"
               "  is sent in turn. Ends on \"quit\" from the peer, end of input, or Ctrl+C.\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const short port = static_cast<short>(std::atoi(argv[1]));
  const long baud = std::atol(argv[2]);
  ::QueryPerformanceFrequency(&g_frequency);
  ::QueryPerformanceCounter(&g_start);
  g_mainThread = ::GetCurrentThreadId();
  std::setvbuf(stdout, nullptr, _IOLBF, 1 << 12);

  Apartment apartment;
  if (FAILED(apartment.status())) {
    Say("COM could not be initialised: %s", HexStatus(apartment.status()));
    return 1;
  }

  ComPtr<IDispatch> control;
  HRESULT hr = CreateControl(kProgId, IID_IDispatch, control.put_void());
  if (FAILED(hr)) {
    Say("CoCreateInstance(\"Vemblaric.SerialControl\") failed: %s", HexStatus(hr));
    Say("%s", "is the control registered? regsvr32 Vemblaric.ocx");
    return 1;
  }
  LateBound calls(control.get());
  Variant company, version;
  calls.Get(L"Company", company);
  calls.Get(L"Version", version);
  Say("created Vemblaric.SerialControl: %s", Printable(Text(company)) + ", version " +
                                                 Printable(Text(version)));
  // An in-process control runs in its host: its word size is the host's.
  const std::string bits = std::to_string(sizeof(void*) * 8);
  Say("%s", "a " + bits + "-bit host, so the " + bits + "-bit Vemblaric.ocx");

  DemoHost host(control.get(), port);
  g_host = &host;

  // The sink, on the event interface the control names as its default source.
  IID events{};
  if (FAILED(hr = EventInterfaceOf(control.get(), &events))) {
    Say("the control does not name its event interface: %s", HexStatus(hr));
    return 1;
  }
  EventSink sink(events, [&host](ControlEvent event, BSTR* text) { host.OnEvent(event, text); });
  Connection connection;
  if (FAILED(hr = connection.Connect(control.get(), events, &sink))) {
    Say("connecting to DataArrived/DataSent failed: %s", HexStatus(hr));
    return 1;
  }

  Variant portValue(port), baudValue(baud);
  if (FAILED(hr = calls.Put(L"Port", portValue)) || FAILED(hr = calls.Put(L"Baud", baudValue))) {
    Say("setting Port and Baud failed: %s", HexStatus(hr) + " " + Printable(calls.exception()));
    return 1;
  }
  Say("Port = %s", std::to_string(port) + ", Baud = " + std::to_string(baud));

  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = ::GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"VemblaricDemoHost";
  ::RegisterClassW(&windowClass);
  const HWND window = ::CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                        nullptr, windowClass.hInstance, nullptr);
  host.SetWindow(window);
  for (int i = 3; i < argc; ++i) {
    const std::string text = argv[i];
    host.Queue(std::wstring(text.begin(), text.end()));
  }
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  const HANDLE reader = ::CreateThread(nullptr, 0, ReadInput, window, 0, nullptr);

  // With a sink connected, Open_Com opens the port and then runs the receive
  // loop until Close_Com or a quit message ends it; everything after the open
  // happens in the handlers and in this thread's window, which the loop pumps.
  ::PostMessageW(window, kStart, 0, 0);
  Say("Open_Com (COM%s)", std::to_string(port));
  hr = calls.Call(L"Open_Com", {});
  Variant status;
  calls.Get(L"Status", status);
  int exitCode = host.failed() ? 1 : 0;
  if (FAILED(hr)) {
    Say("Open_Com raised %s", HexStatus(hr) + " " + Printable(calls.exception()));
    exitCode = 1;
  } else if (!host.closing() && !g_interrupted && !Number(status)) {
    host.ShowFailure("Open_Com could not open the port");
    exitCode = 1;
  } else {
    if (g_interrupted) host.Close("Ctrl+C");
    Say("%s", "the receive loop has ended; the port is closed");
  }

  connection.Disconnect();
  control.reset();
  ::DestroyWindow(window);
  // The input thread may still be blocked in a read of standard input, holding
  // the stream's lock that a normal exit would wait for: end the process here.
  if (reader) ::CloseHandle(reader);
  std::fflush(stdout);
  ::ExitProcess(static_cast<UINT>(exitCode));
}
