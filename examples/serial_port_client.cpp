// A C++ client of SerialPort with events: it creates the class by its
// programmatic identifier, calls it through ISerialPort (SerialPort.h), and
// takes DataReceived through an IDispatch sink on ISerialPortEvents,
// connected through IConnectionPointContainer.
//
//   vemblaric_serial_port_client.exe
//
// The other end of the cable, COM2, is played by a thread of this program
// that answers one line with the same line in capitals, using kernel32
// alone. The port object opens COM1 and returns at once; the events come
// from this thread's message loop, which runs until the answer is whole.
// Then two failures show what a C++ host gets: an HRESULT and an error
// object (GetErrorInfo) with the member, the port and the reason.
#include <windows.h>
#include <ocidl.h>
#include <oleauto.h>

#include <cctype>
#include <cstdio>
#include <string>

#include "SerialPort.h"

namespace {

ISerialPort* g_port = nullptr;
std::wstring g_answer;
bool g_answered = false;

std::string Shown(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) {
    if (c == L'\r') out += "\\r";
    else if (c == L'\n') out += "\\n";
    else out += (c >= 32 && c < 127) ? static_cast<char>(c) : '?';
  }
  return out;
}

// The sink: DataReceived is member 1 of ISerialPortEvents, PinChanged 2 and
// ErrorReceived 3, each with one Long.
class Events final : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID_ISerialPortEvents) {
      *ppv = static_cast<IDispatch*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  // Lives on Run's stack, longer than any connection to it.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                   EXCEPINFO*, UINT*) override {
    if (params->cArgs != 1 || params->rgvarg[0].vt != VT_I4) return DISP_E_TYPEMISMATCH;
    const long value = params->rgvarg[0].lVal;
    if (member == 3) std::printf("ErrorReceived: &H%lX\n", value);
    if (member != 1 || g_answered) return S_OK;
    // DataReceived: take what is there; the answer is whole at its line
    // feed (one event may bring part of it).
    BSTR text = nullptr;
    if (SUCCEEDED(g_port->ReadExisting(&text))) g_answer.append(text ? text : L"", ::SysStringLen(text));
    ::SysFreeString(text);
    if (g_answer.find(L'\n') != std::wstring::npos) {
      g_answered = true;
      std::printf("DataReceived: %s\n", Shown(g_answer).c_str());
      ::PostQuitMessage(0);  // the message loop in Run ends
    }
    return S_OK;
  }
};

// The device on COM2: reads one line and sends it back in capitals.
DWORD WINAPI Device(void* port) {
  const HANDLE h = static_cast<HANDLE>(port);
  std::string line;
  const DWORD start = ::GetTickCount();
  while (line.find('\n') == std::string::npos && ::GetTickCount() - start < 10000) {
    char c[64];
    DWORD n = 0;
    if (!::ReadFile(h, c, sizeof c, &n, nullptr)) break;
    line.append(c, n);
  }
  for (char& c : line) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  DWORD written = 0;
  ::WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  return 0;
}

void CALLBACK GiveUp(HWND, UINT, UINT_PTR timer, DWORD) {
  ::KillTimer(nullptr, timer);
  std::printf("no answer from the device within ten seconds\n");
  ::PostQuitMessage(1);
}

// What a failed call returned, and what its error object says.
void ShowFailure(const char* call, HRESULT hr) {
  std::printf("%s: 0x%08lX", call, static_cast<unsigned long>(hr));
  IErrorInfo* info = nullptr;
  if (::GetErrorInfo(0, &info) == S_OK && info) {
    BSTR source = nullptr, description = nullptr;
    info->GetSource(&source);
    info->GetDescription(&description);
    std::printf(" %ls: %ls", source ? source : L"", description ? description : L"");
    ::SysFreeString(source);
    ::SysFreeString(description);
    info->Release();
  }
  std::printf("\n");
}

int Run() {
  CLSID clsid;
  HRESULT hr = ::CLSIDFromProgID(L"Vemblaric.SerialPort", &clsid);
  if (SUCCEEDED(hr))
    hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ISerialPort,
                            reinterpret_cast<void**>(&g_port));
  if (FAILED(hr)) {
    std::printf("Vemblaric.SerialPort cannot be created (0x%08lX); is it registered?\n",
                static_cast<unsigned long>(hr));
    return 1;
  }

  // An in-process class runs in its host: its word size is the host's.
  std::printf("Host: %d-bit\n", static_cast<int>(sizeof(void*) * 8));

  // The device end of the cable, ready before the port object opens its end.
  const HANDLE device = ::CreateFileW(L"\\\\.\\COM2", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    std::printf("COM2 cannot be opened (error %lu)\n", ::GetLastError());
    g_port->Release();
    return 1;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ::GetCommState(device, &dcb);
  ::BuildCommDCBW(L"baud=19200 parity=N data=8 stop=2", &dcb);
  ::SetCommState(device, &dcb);
  COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 200, 0, 2000};  // a read returns once bytes are in
  ::SetCommTimeouts(device, &timeouts);
  ::PurgeComm(device, PURGE_RXCLEAR | PURGE_TXCLEAR);  // nothing left from an earlier user of the cable
  const HANDLE deviceThread = ::CreateThread(nullptr, 0, Device, device, 0, nullptr);

  Events events;
  IConnectionPointContainer* container = nullptr;
  IConnectionPoint* point = nullptr;
  DWORD cookie = 0;
  g_port->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
  if (container && SUCCEEDED(container->FindConnectionPoint(DIID_ISerialPortEvents, &point)))
    point->Advise(&events, &cookie);

  // COM1 at 19200 baud, 8 data bits, no parity, two stop bits.
  BSTR name = ::SysAllocString(L"COM1");
  g_port->put_PortName(name);
  ::SysFreeString(name);
  g_port->put_BaudRate(19200);
  g_port->put_StopBits(serialStopBitsTwo);
  hr = g_port->Open();  // returns at once; the port's watcher runs beside us
  VARIANT_BOOL open = VARIANT_FALSE;
  g_port->get_IsOpen(&open);
  std::printf("Open: 0x%08lX, IsOpen = %s\n", static_cast<unsigned long>(hr), open ? "True" : "False");

  BSTR line = ::SysAllocString(L"hello, device");
  hr = g_port->WriteLine(line);  // the text and NewLine (a line feed)
  ::SysFreeString(line);
  std::printf("WriteLine: 0x%08lX\n", static_cast<unsigned long>(hr));

  // The events come from this loop: the port posts to a window of this
  // thread, and the sink's DataReceived ends the loop once the line is in.
  ::SetTimer(nullptr, 0, 10000, GiveUp);
  MSG msg;
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) ::DispatchMessageW(&msg);

  // Nothing more comes: a read with a short time-out fails, and the bytes
  // it got (none here) would stay for the next read.
  g_port->put_ReadTimeout(200);
  BSTR nothing = nullptr;
  ShowFailure("ReadLine", g_port->ReadLine(&nothing));
  ::SysFreeString(nothing);
  g_port->Close();
  ShowFailure("WriteLine after Close", g_port->WriteLine(nullptr));

  if (point) {
    point->Unadvise(cookie);
    point->Release();
  }
  if (container) container->Release();
  g_port->Release();
  ::WaitForSingleObject(deviceThread, 15000);
  ::CloseHandle(deviceThread);
  ::CloseHandle(device);
  return g_answered ? 0 : 1;
}

}  // namespace

int main() {
  if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  const int code = Run();
  ::CoUninitialize();
  return code;
}
