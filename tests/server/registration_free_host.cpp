// A host that uses the control with no registration, as a program shipped
// with Vemblaric.ocx and its assembly manifest beside it does: its own
// application manifest names the assembly, and the system finds the class,
// the programmatic identifier and the type library there.
//
//   registration_free_host.exe with      everything below works; exit code 0
//   registration_free_host.exe without   creation fails with REGDB_E_CLASSNOTREG
//
// With: creates the control by its programmatic identifier and by its class
// identifier, loads the type library by its identifier, reads the misc-status
// flags, calls members through the function table and through IDispatch by
// name, and receives DataSent and DataArrived over COM1 with a peer on COM2.
// Then SerialPort, whose type library is the file's second: created by both
// its programmatic identifiers, its class information, a property through
// IDispatch by name. Prints one line per check and "FAIL" on each that fails.
#include <windows.h>
#include <ocidl.h>
#include <ole2.h>
#include <oleauto.h>

#include <cstdio>
#include <string>

#include "SerialPort.h"
#include "Vemblaric.h"
#include "control_object/identifiers.h"

namespace control_object = vemblaric::control_object;

namespace {

int g_failures = 0;

void Expect(bool ok, const char* what, HRESULT hr = S_OK) {
  std::printf("%s %s (0x%08lX)\n", ok ? "ok  " : "FAIL", what, static_cast<unsigned long>(hr));
  if (!ok) ++g_failures;
}

// Counts the events and closes the port on the first DataArrived.
class Sink final : public IDispatch {
 public:
  explicit Sink(_SerialControl* control) : control_(control) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID___SerialControl) {
      *ppv = static_cast<IDispatch*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // lives on Run's stack
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                   EXCEPINFO*, UINT*) override {
    if (params->cArgs != 1 || params->rgvarg[0].vt != (VT_BYREF | VT_BSTR)) return E_INVALIDARG;
    const BSTR text = *params->rgvarg[0].pbstrVal;
    if (member == 2) sent.assign(text, ::SysStringLen(text));
    if (member == 1) {
      arrived.append(text, ::SysStringLen(text));
      if (arrived.size() >= 64) control_->Close_Com();
    }
    return S_OK;
  }
  std::wstring sent, arrived;

 private:
  _SerialControl* control_;
};

HRESULT Call(IDispatch* dispatch, const wchar_t* name, WORD flags, VARIANT* arg, VARIANT* result) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  DISPID id = 0;
  HRESULT hr = dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS params{arg, arg ? &put : nullptr, arg ? 1u : 0u, arg ? 1u : 0u};
  return dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr,
                          nullptr);
}

void Run(_SerialControl* control) {
  // Through the function table.
  HRESULT hr = control->put_Baud(9600);
  LONG baud = 0;
  if (SUCCEEDED(hr)) hr = control->get_Baud(&baud);
  Expect(SUCCEEDED(hr) && baud == 9600, "Baud through the function table");

  // Through IDispatch, by name, which needs the type library.
  IDispatch* dispatch = nullptr;
  hr = control->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch));
  if (SUCCEEDED(hr)) {
    VARIANT value;
    value.vt = VT_I4;
    value.lVal = 19200;
    hr = Call(dispatch, L"Baud", DISPATCH_PROPERTYPUT, &value, nullptr);
    VARIANT result;
    ::VariantInit(&result);
    if (SUCCEEDED(hr)) hr = Call(dispatch, L"Baud", DISPATCH_PROPERTYGET, nullptr, &result);
    control->get_Baud(&baud);
    Expect(SUCCEEDED(hr) && result.vt == VT_I4 && result.lVal == 19200 && baud == 19200,
           "Baud through IDispatch by name", hr);
    dispatch->Release();
  } else {
    Expect(false, "IDispatch", hr);
  }

  // Events, over the cable: the peer's 64 bytes wait until Write_Com's loop reads them.
  const HANDLE peer = ::CreateFileW(L"\\\\.\\COM2", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  short slot = 1;
  BSTR name = ::SysAllocString(L"COM1");
  BSTR settings = ::SysAllocString(L"baud=9600 parity=N data=8 stop=1");
  LONG opened = -1;
  control->CommOpen(&slot, &name, &settings, &opened);
  ::SysFreeString(name);
  ::SysFreeString(settings);
  control->put_Port(slot);
  Expect(peer != INVALID_HANDLE_VALUE && opened == 0, "COM1 and COM2 open");
  if (peer == INVALID_HANDLE_VALUE || opened != 0) return;
  COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 2000, 0, 2000};
  ::SetCommTimeouts(peer, &timeouts);
  const std::string incoming(64, 'v');
  DWORD n = 0;
  ::WriteFile(peer, incoming.data(), 64, &n, nullptr);

  Sink sink(control);
  IConnectionPointContainer* container = nullptr;
  IConnectionPoint* point = nullptr;
  DWORD cookie = 0;
  hr = control->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
  if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(DIID___SerialControl, &point);
  if (SUCCEEDED(hr)) hr = point->Advise(&sink, &cookie);
  Expect(SUCCEEDED(hr), "a sink connected to __SerialControl", hr);
  if (SUCCEEDED(hr)) {
    BSTR text = ::SysAllocString(L"hi");
    control->Write_Com(text);  // DataSent, then the loop until the sink's Close_Com
    ::SysFreeString(text);
    point->Unadvise(cookie);
  }
  if (point) point->Release();
  if (container) container->Release();
  char echo[2] = {};
  ::ReadFile(peer, echo, 2, &n, nullptr);
  ::CloseHandle(peer);
  Expect(sink.sent == L"hi" && n == 2 && echo[0] == 'h', "DataSent, and the peer got the text");
  Expect(sink.arrived == std::wstring(64, L'v'), "DataArrived with the peer's text");
}

void RunSerialPort() {
  for (const wchar_t* progId : {L"Vemblaric.SerialPort", L"Vemblaric.SerialPort.1"}) {
    CLSID clsid{};
    ISerialPort* port = nullptr;
    HRESULT hr = ::CLSIDFromProgID(progId, &clsid);
    if (SUCCEEDED(hr))
      hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ISerialPort,
                              reinterpret_cast<void**>(&port));
    const std::string what = "SerialPort created by " + std::string(progId, progId + wcslen(progId));
    Expect(SUCCEEDED(hr), what.c_str(), hr);
    if (!port) continue;
    // Its class description, from its own library in the file, as a host
    // connecting to its events reads it. (Found by the library's identifier
    // through the manifest, the file's name gives the file's first library:
    // an activation context names a file, not a library resource in it.)
    IProvideClassInfo* provider = nullptr;
    ITypeInfo* info = nullptr;
    ITypeLib* lib = nullptr;
    UINT index = 0;
    TLIBATTR* attr = nullptr;
    hr = port->QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(&provider));
    if (SUCCEEDED(hr)) hr = provider->GetClassInfo(&info);
    if (SUCCEEDED(hr)) hr = info->GetContainingTypeLib(&lib, &index);
    if (SUCCEEDED(hr)) hr = lib->GetLibAttr(&attr);
    Expect(SUCCEEDED(hr) && attr->guid == LIBID_VemblaricSerialPort,
           "SerialPort's class information from its own type library", hr);
    if (attr) lib->ReleaseTLibAttr(attr);
    if (lib) lib->Release();
    if (info) info->Release();
    if (provider) provider->Release();
    VARIANT name;
    name.vt = VT_BSTR;
    name.bstrVal = ::SysAllocString(L"COM2");
    VARIANT result;
    ::VariantInit(&result);
    hr = Call(port, L"PortName", DISPATCH_PROPERTYPUT, &name, nullptr);
    if (SUCCEEDED(hr)) hr = Call(port, L"PortName", DISPATCH_PROPERTYGET, nullptr, &result);
    Expect(SUCCEEDED(hr) && result.vt == VT_BSTR && std::wstring(result.bstrVal) == L"COM2",
           "SerialPort's PortName through IDispatch by name", hr);
    ::VariantClear(&name);
    ::VariantClear(&result);
    port->Release();
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const bool with = argc == 2 && std::wstring(argv[1]) == L"with";
  if (argc != 2 || (!with && std::wstring(argv[1]) != L"without")) {
    std::fprintf(stderr, "usage: registration_free_host with|without\n");
    return 2;
  }
  ::CoInitialize(nullptr);
  _SerialControl* control = nullptr;
  HRESULT hr = ::CoCreateInstance(CLSID_SerialControl, nullptr, CLSCTX_INPROC_SERVER,
                                  IID__SerialControl, reinterpret_cast<void**>(&control));
  if (!with) {
    Expect(hr == REGDB_E_CLASSNOTREG, "no manifest: the class is not registered", hr);
    ISerialPort* port = nullptr;
    hr = ::CoCreateInstance(CLSID_SerialPort, nullptr, CLSCTX_INPROC_SERVER, IID_ISerialPort,
                            reinterpret_cast<void**>(&port));
    Expect(hr == REGDB_E_CLASSNOTREG, "no manifest: SerialPort is not registered", hr);
    if (port) port->Release();
  } else {
    Expect(SUCCEEDED(hr), "created by its class identifier", hr);
    if (control) control->Release();
    control = nullptr;

    // Inside the context the identifier may be an alias of the class's own.
    CLSID clsid{};
    hr = ::CLSIDFromProgID(control_object::kProgId, &clsid);
    if (SUCCEEDED(hr))
      hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID__SerialControl,
                              reinterpret_cast<void**>(&control));
    Expect(SUCCEEDED(hr), "created by its programmatic identifier", hr);

    ITypeLib* lib = nullptr;
    hr = ::LoadRegTypeLib(LIBID_Vemblaric, control_object::kLibraryMajor,
                          control_object::kLibraryMinor, control_object::kLibraryLocale, &lib);
    Expect(SUCCEEDED(hr), "the type library found by its identifier and version", hr);
    if (lib) lib->Release();

    DWORD misc = 0;
    hr = ::OleRegGetMiscStatus(CLSID_SerialControl, DVASPECT_CONTENT, &misc);
    Expect(SUCCEEDED(hr) && misc == control_object::kMiscStatus, "the misc-status flags", hr);

    if (control) {
      Run(control);
      control->Release();
    }
    RunSerialPort();
  }
  ::CoUninitialize();
  return g_failures == 0 ? 0 : 1;
}
