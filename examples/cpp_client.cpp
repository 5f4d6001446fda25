// A C++ client of the serial control, bound early: it creates the control by
// its programmatic identifier, calls it through the dual interface
// _SerialControl declared in Vemblaric.h, and takes DataSent and DataArrived
// through a sink on the event interface __SerialControl.
//
//   vemblaric_cpp_client.exe
//
// The other end of the cable, COM2, is played by a thread of this program that
// answers one line with the same line in capitals, using kernel32 alone. The
// control opens COM1; with a sink connected, Open_Com runs the receive loop
// until Close_Com, so the first write is made from a timer that the loop's
// message pump runs, and the answer's DataArrived handler closes the port.
#include <windows.h>
#include <ocidl.h>
#include <oleauto.h>

#include <cctype>
#include <cstdio>
#include <string>

#include "Vemblaric.h"

namespace {

_SerialControl* g_control = nullptr;
std::wstring g_answer;
bool g_answered = false;

std::string Shown(const wchar_t* text, UINT length) {
  std::string out;
  for (UINT i = 0; i < length; ++i) {
    if (text[i] == L'\r') out += "\\r";
    else if (text[i] == L'\n') out += "\\n";
    else out += (text[i] >= 32 && text[i] < 127) ? static_cast<char>(text[i]) : '?';
  }
  return out;
}

// The sink: DataArrived is member 1 and DataSent member 2 of __SerialControl,
// each with one String passed by reference.
class Events final : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID___SerialControl) {
      *ppv = static_cast<IDispatch*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  // Lives on main's stack, longer than any connection to it.
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
    if (params->cArgs != 1 || params->rgvarg[0].vt != (VT_BYREF | VT_BSTR)) return DISP_E_TYPEMISMATCH;
    BSTR text = *params->rgvarg[0].pbstrVal;
    const UINT length = ::SysStringLen(text);
    if (member == 2) {
      std::printf("DataSent: %s\n", Shown(text, length).c_str());
    } else if (member == 1) {
      // A read may bring part of a line; the answer is whole at its line feed.
      g_answer.append(text ? text : L"", length);
      if (!g_answered && g_answer.find(L'\n') != std::wstring::npos) {
        g_answered = true;
        std::printf("DataArrived: %s\n", Shown(g_answer.data(), static_cast<UINT>(g_answer.size())).c_str());
        g_control->Close_Com();  // ends the receive loop after this pass
      }
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

void CALLBACK SendGreeting(HWND, UINT, UINT_PTR timer, DWORD) {
  ::KillTimer(nullptr, timer);
  BSTR text = ::SysAllocString(L"hello, device\r\n");
  g_control->Write_Com(text);  // raises DataSent when every byte went out
  ::SysFreeString(text);
}

void CALLBACK GiveUp(HWND, UINT, UINT_PTR timer, DWORD) {
  ::KillTimer(nullptr, timer);
  if (g_answered) return;
  std::printf("no answer from the device within ten seconds\n");
  g_control->Close_Com();
}

std::wstring ErrorLine(_SerialControl* control) {
  BSTR message = nullptr;
  LONG result = 0;
  control->CommGetError(&message, &result);
  std::wstring line(message ? message : L"", ::SysStringLen(message));
  ::SysFreeString(message);
  while (!line.empty() && (line.back() == L'\n' || line.back() == L'\r')) line.pop_back();
  return line;
}

int Run() {
  CLSID clsid;
  HRESULT hr = ::CLSIDFromProgID(L"Vemblaric.SerialControl", &clsid);
  if (SUCCEEDED(hr))
    hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID__SerialControl,
                            reinterpret_cast<void**>(&g_control));
  if (FAILED(hr)) {
    std::printf("Vemblaric.SerialControl cannot be created (0x%08lX); is it registered?\n",
                static_cast<unsigned long>(hr));
    return 1;
  }
  BSTR version = nullptr;
  g_control->get_Version(&version);
  std::printf("Version: %ls\n", version);
  ::SysFreeString(version);

  // The registered type library as a host of this word size finds it: the
  // 32-bit and the 64-bit control each register their own platform's entry.
  std::printf("Host: %d-bit\n", static_cast<int>(sizeof(void*) * 8));
  ITypeLib* lib = nullptr;
  hr = ::LoadRegTypeLib(LIBID_Vemblaric, 20, 0, 0x409, &lib);
  TLIBATTR* attr = nullptr;
  if (SUCCEEDED(hr)) hr = lib->GetLibAttr(&attr);
  if (SUCCEEDED(hr)) {
    std::printf("Type library: %d.%d for %s hosts\n", attr->wMajorVerNum, attr->wMinorVerNum,
                attr->syskind == SYS_WIN64 ? "64-bit" : "32-bit");
    lib->ReleaseTLibAttr(attr);
  } else {
    std::printf("Type library: not found (0x%08lX)\n", static_cast<unsigned long>(hr));
  }
  if (lib) lib->Release();

  // The device end of the cable, ready before the control opens its end.
  const HANDLE device = ::CreateFileW(L"\\\\.\\COM2", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    std::printf("COM2 cannot be opened (error %lu)\n", ::GetLastError());
    g_control->Release();
    return 1;
  }
  COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 200, 0, 2000};  // a read returns once bytes are in
  ::SetCommTimeouts(device, &timeouts);
  const HANDLE deviceThread = ::CreateThread(nullptr, 0, Device, device, 0, nullptr);

  Events events;
  IConnectionPointContainer* container = nullptr;
  IConnectionPoint* point = nullptr;
  DWORD cookie = 0;
  g_control->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
  if (container && SUCCEEDED(container->FindConnectionPoint(DIID___SerialControl, &point)))
    point->Advise(&events, &cookie);

  g_control->put_Port(1);
  g_control->put_Baud(57600);
  ::SetTimer(nullptr, 0, 10, SendGreeting);
  ::SetTimer(nullptr, 0, 10000, GiveUp);
  g_control->Open_Com();  // returns when Close_Com has ended the loop
  VARIANT_BOOL status = VARIANT_FALSE;
  g_control->get_Status(&status);
  std::printf("Open_Com returned; Status = %s\n", status ? "True" : "False");

  // A hidden port primitive through the same interface: a device that does
  // not exist, and the control's account of why.
  short slot = 3;
  BSTR name = ::SysAllocString(L"COM9");
  BSTR settings = ::SysAllocString(L"baud=57600 parity=N data=8 stop=1");
  LONG result = 0;
  g_control->CommOpen(&slot, &name, &settings, &result);
  ::SysFreeString(name);
  ::SysFreeString(settings);
  std::printf("CommOpen(3, \"COM9\") = %ld: %ls\n", static_cast<long>(result), ErrorLine(g_control).c_str());

  if (point) {
    point->Unadvise(cookie);
    point->Release();
  }
  if (container) container->Release();
  g_control->Release();
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
