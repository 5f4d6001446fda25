// A console host for SerialPort, using it as any C++ host would: it creates
// Vemblaric.SerialPort by its programmatic identifier, calls it through
// ISerialPort (SerialPort.h, from the class's interface description), and
// listens through a sink on ISerialPortEvents.
//
//   vemblaric_port_demo.exe PORT BAUD [TEXT...]
//
// It lists the ports the system knows, opens PORT ("COM1") at BAUD with 8
// data bits, no parity and two stop bits, and sends the first TEXT as a
// line. Everything after that happens in DataReceived, which this thread's
// message loop raises: each whole line of the answer sends the next TEXT,
// and a line "quit" closes the port and ends the loop. No call waits for
// data. Last it shows two failures as a host sees them: the HRESULT and the
// error object's source and description. The exit code is 1 when the
// exchange did not end with "quit".
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>

#include "SerialPort.h"
#include "demo/host_com.h"

namespace {

using namespace vemblaric::host;

constexpr wchar_t kProgId[] = L"Vemblaric.SerialPort";
// Bounds the exchange, so a silent peer cannot keep the host forever.
constexpr UINT kGiveUpMs = 10000;

LARGE_INTEGER g_start, g_frequency;

double Seconds() {
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart - g_start.QuadPart) / static_cast<double>(g_frequency.QuadPart);
}

void Say(const std::string& text) {
  std::printf("[%7.3f s] %s\n", Seconds(), text.c_str());
  std::fflush(stdout);
}

std::string Narrow(const std::wstring& text) { return Printable(text); }

// A failed call as a host sees it: the status and what the error object says.
void ShowFailure(const std::string& call, HRESULT hr) {
  Say(call + " failed: " + HexStatus(hr));
  Say("  error object: " + Narrow(LastErrorInfo()));
}

class Exchange {
 public:
  Exchange(ISerialPort* port, std::deque<std::wstring> texts) : port_(port), texts_(std::move(texts)) {}

  // Sends the next text as a line; false when none is left.
  bool SendNext() {
    if (texts_.empty()) return false;
    const std::wstring text = texts_.front();
    texts_.pop_front();
    vemblaric::Bstr line(text.c_str());
    sentAt_ = Seconds();
    const HRESULT hr = port_->WriteLine(line.get());
    if (FAILED(hr)) {
      ShowFailure("WriteLine", hr);
      Finish();
      return false;
    }
    Say("WriteLine \"" + Narrow(text) + "\"");
    return true;
  }

  void OnEvent(PortEvent event, long value) {
    if (event != PortEvent::DataReceived) {
      Say((event == PortEvent::PinChanged ? "PinChanged " : "ErrorReceived ") + std::to_string(value));
      return;
    }
    char after[64];
    std::snprintf(after, sizeof after, "%.1f ms after the write", (Seconds() - sentAt_) * 1000.0);
    vemblaric::Bstr text;
    const HRESULT hr = port_->ReadExisting(text.put());
    if (FAILED(hr)) {
      ShowFailure("ReadExisting", hr);
      Finish();
      return;
    }
    Say("DataReceived(" + std::to_string(value) + "), " + after + "; ReadExisting \"" + Narrow(text.str()) +
        "\"");
    received_ += text.str();
    // The peer ends its lines with CR LF; NewLine is LF, so a line is whole
    // at its LF.
    for (size_t end; (end = received_.find(L'\n')) != std::wstring::npos;) {
      std::wstring line = received_.substr(0, end);
      received_.erase(0, end + 1);
      if (!line.empty() && line.back() == L'\r') line.pop_back();
      if (line == L"quit") {
        quit_ = true;
        Say("the peer said quit: Close");
        port_->Close();
        Finish();
        return;
      }
      if (!SendNext()) Say("(nothing more to send; waiting for the peer's quit)");
    }
  }

  void Finish() { ::PostQuitMessage(0); }
  bool quit() const { return quit_; }

 private:
  ISerialPort* port_;
  std::deque<std::wstring> texts_;
  std::wstring received_;
  double sentAt_ = 0;
  bool quit_ = false;
};

void CALLBACK GiveUp(HWND, UINT, UINT_PTR, DWORD) {
  Say("no quit from the peer within ten seconds");
  ::PostQuitMessage(1);
}

std::wstring Widen(const char* text) {
  std::wstring out;
  for (const char* c = text; *c; ++c) out += static_cast<wchar_t>(static_cast<unsigned char>(*c));
  return out;
}

// Each port with what the system knows of it, and the name that opens the
// same device wherever it is plugged in next time.
void ListPorts(ISerialPort* port) {
  ComPtr<ISerialPortInfos> ports;
  HRESULT hr = port->GetPorts(ports.put());
  if (FAILED(hr)) return ShowFailure("GetPorts", hr);
  LONG count = 0;
  ports->get_Count(&count);
  Say("GetPorts: " + std::to_string(count) + " port(s)");
  for (LONG i = 1; i <= count; ++i) {
    ComPtr<ISerialPortInfo> info;
    if (FAILED(ports->Item(i, info.put()))) continue;
    vemblaric::Bstr name, description, vendor, product, serial;
    info->get_PortName(name.put());
    info->get_Description(description.put());
    info->get_VendorId(vendor.put());
    info->get_ProductId(product.put());
    info->get_SerialNumber(serial.put());
    std::string line = "  " + Narrow(name.str());
    if (description.length()) line += "  " + Narrow(description.str());
    if (vendor.length())
      line += "  usb://" + Narrow(vendor.str()) + ":" + Narrow(product.str()) +
              (serial.length() ? "/" + Narrow(serial.str()) : std::string());
    Say(line);
  }
}

int Run(const std::wstring& portName, long baud, std::deque<std::wstring> texts) {
  ComPtr<ISerialPort> port;
  HRESULT hr = CreateControl(kProgId, IID_ISerialPort, port.put_void());
  if (FAILED(hr)) {
    Say("CoCreateInstance(\"Vemblaric.SerialPort\") failed: " + HexStatus(hr) +
        "; is Vemblaric.ocx registered? regsvr32 Vemblaric.ocx");
    return 1;
  }
  const std::string bits = std::to_string(sizeof(void*) * 8);
  Say("created Vemblaric.SerialPort in a " + bits + "-bit host, so from the " + bits + "-bit Vemblaric.ocx");
  ListPorts(port.get());

  // The line settings: anything but the defaults (9600 baud, 8N1) shows
  // that they reach the device; both ends must agree on them. (A pty, the
  // bench's cable, has no parity and no character size, so 7 data bits or
  // a parity cannot be shown on it; two stop bits can.)
  const vemblaric::Bstr name(portName.c_str());
  if (FAILED(hr = port->put_PortName(name.get())) || FAILED(hr = port->put_BaudRate(baud)) ||
      FAILED(hr = port->put_StopBits(serialStopBitsTwo))) {
    ShowFailure("setting the port", hr);
    return 1;
  }
  LONG dataBits = 0, readTimeout = 0;
  SerialParity parity = serialParityNone;
  SerialStopBits stopBits = serialStopBitsOne;
  port->get_DataBits(&dataBits);
  port->get_Parity(&parity);
  port->get_StopBits(&stopBits);
  port->get_ReadTimeout(&readTimeout);
  Say(Narrow(portName) + ": " + std::to_string(baud) + " baud, " + std::to_string(dataBits) + " data bits, " +
      (parity == serialParityNone ? "no" : "a") + " parity, " + std::to_string(stopBits) +
      " stop bits; ReadTimeout " + std::to_string(readTimeout) + " ms (the default)");

  Exchange exchange(port.get(), std::move(texts));
  PortEventSink sink(DIID_ISerialPortEvents,
                     [&exchange](PortEvent event, long value) { exchange.OnEvent(event, value); });
  Connection connection;
  if (FAILED(hr = connection.Connect(port.get(), DIID_ISerialPortEvents, &sink))) {
    Say("connecting to ISerialPortEvents failed: " + HexStatus(hr));
    return 1;
  }
  const double before = Seconds();
  if (FAILED(hr = port->Open())) {
    ShowFailure("Open", hr);
    return 1;
  }
  VARIANT_BOOL open = VARIANT_FALSE;
  port->get_IsOpen(&open);
  char took[64];
  std::snprintf(took, sizeof took, "%.1f ms", (Seconds() - before) * 1000.0);
  vemblaric::Bstr resolved;
  port->get_ResolvedPortName(resolved.put());
  Say(std::string("Open returned in ") + took + "; IsOpen = " + (open ? "True" : "False") +
      "; ResolvedPortName = " + Narrow(resolved.str()) + "; from here on, DataReceived drives the exchange");

  ::SetTimer(nullptr, 0, kGiveUpMs, GiveUp);
  if (exchange.SendNext()) {
    // The host's own message loop: the port's events come from it.
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) ::DispatchMessageW(&msg);
  }
  connection.Disconnect();
  port->get_IsOpen(&open);
  Say(std::string("the message loop has ended; IsOpen = ") + (open ? "True" : "False"));

  // Failures as a host sees them: a call on the closed port, and a port
  // that does not exist.
  const vemblaric::Bstr late(L"after the close");
  hr = port->WriteLine(late.get());
  if (FAILED(hr)) ShowFailure("WriteLine after Close", hr);
  const vemblaric::Bstr missing(L"COM9");
  port->put_PortName(missing.get());
  hr = port->Open();
  if (FAILED(hr)) ShowFailure("Open of COM9", hr);
  else port->Close();
  return exchange.quit() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: vemblaric_port_demo PORT BAUD [TEXT...]   (PORT as COM1)\n");
    return 2;
  }
  ::QueryPerformanceFrequency(&g_frequency);
  ::QueryPerformanceCounter(&g_start);
  std::deque<std::wstring> texts;
  for (int i = 3; i < argc; ++i) texts.push_back(Widen(argv[i]));
  Apartment apartment;
  if (FAILED(apartment.status())) {
    Say("COM could not be initialised: " + HexStatus(apartment.status()));
    return 1;
  }
  return Run(Widen(argv[1]), std::atol(argv[2]), std::move(texts));
}
