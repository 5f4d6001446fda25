#include "serial_port/serial_port_object.h"

#include <dbt.h>
#include <olectl.h>

#include <algorithm>
#include <cwctype>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "com/dispatch.h"
#include "com/module.h"
#include "com/type_library.h"
#include "devices/port_resolution.h"
#include "port/text.h"
#include "serial_port/identifiers.h"
#include "serial_port/port_infos.h"
#include "serial_port/port_names.h"
#include "serial_port/port_watch.h"

namespace vemblaric::serial_port {
namespace {

constexpr wchar_t kSource[] = L"Vemblaric.SerialPort";
constexpr wchar_t kWindowClass[] = L"Vemblaric.SerialPort.Notices";
constexpr UINT kNoticeMessage = WM_APP + 1;
// The port watcher's notice: the port list changed.
constexpr UINT kPortsMessage = WM_APP + 2;
// An event that a host's call found due, raised from the message loop:
// wParam kTellLost (ErrorReceived with the I/O error flag) or kTellBack
// (Reconnected).
constexpr UINT kTellMessage = WM_APP + 3;
constexpr WPARAM kTellLost = 1;
constexpr WPARAM kTellBack = 2;
// A call the port's state does not allow (closed, or open already): "a method
// was called at an unexpected time".
constexpr HRESULT kWrongState = static_cast<HRESULT>(0x8000000EL);
constexpr DISPID kDataReceived = 1;
constexpr DISPID kPinChanged = 2;
constexpr DISPID kErrorReceived = 3;
constexpr DISPID kPortsChanged = 4;
constexpr DISPID kReconnected = 5;
// The window's timers: a device notice's PortsChanged, which waits a moment
// for the notices that come with it (a device brings an interface and a
// port); and the next try to reopen a port that waits for its device.
constexpr UINT_PTR kSettleTimer = 1;
constexpr UINT_PTR kRetryTimer = 2;
constexpr UINT kSettleMs = 100;
// A port waiting for a COMn tries to reopen it this often while the system
// lists the name (under Wine a pty's name stays listed while it is gone), and
// at once when the list changes. A network name has no list: the tries back
// off from the first wait to the last, so a server that is down for long is
// not knocked at twice a second.
constexpr DWORD kPortRetryMs = 500;
constexpr DWORD kFirstRetryMs = 500;
constexpr DWORD kLastRetryMs = 5000;
// The communication-port device interface (GUID_DEVINTERFACE_COMPORT).
constexpr GUID kCommPortInterface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
// A read waits this long unless the host says otherwise: long enough for a
// slow device's answer, short enough that a macro waiting on a silent one
// gets control back.
constexpr long kDefaultReadTimeout = 2000;
// A write of a few kilobytes at 9600 baud takes a few seconds.
constexpr long kDefaultWriteTimeout = 5000;
// The host's thread looks at the queue at least this often while it waits.
constexpr DWORD kReadSlice = 20;
// The pins in the order their events are raised.
constexpr DWORD kPinOrder[] = {EV_CTS, EV_DSR, EV_RLSD, EV_BREAK, EV_RING};

// The description the member left in the thread's error object; the system's
// text of the status when it left none.
BSTR DescribeFromErrorObject(HRESULT status) noexcept {
  IErrorInfo* info = nullptr;
  if (::GetErrorInfo(0, &info) == S_OK && info) {
    BSTR description = nullptr;
    info->GetDescription(&description);
    info->Release();
    if (description) return description;
  }
  return com::DescribeFailure(status);
}

const com::FailureSource kFailureSource = {kSource, &DescribeFromErrorObject};

// The system's text for `error`, on one line.
std::wstring SystemText(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring out = n && text ? std::wstring(text, n) : L"error " + std::to_wstring(error);
  if (text) ::LocalFree(text);
  for (wchar_t& c : out)
    if (c == L'\r' || c == L'\n') c = L' ';
  while (!out.empty() && out.back() == L' ') out.pop_back();
  return out;
}

bool IsNetworkName(const std::wstring& name) { return name.find(L"://") != std::wstring::npos; }

// "COM" and a number, in any case: the names the port list holds.
bool IsComName(const std::wstring& name) {
  return name.size() > 3 && (name[0] | 0x20) == L'c' && (name[1] | 0x20) == L'o' &&
         (name[2] | 0x20) == L'm' &&
         std::all_of(name.begin() + 3, name.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

// Whether the port a waiting name resolved to may be back, from the last
// look at the port list: a COMn when the system lists it again; any other
// (a path, a virtual pair's device, a network name) is tried as it is.
bool PortIsBack(const std::wstring& port) { return !IsComName(port) || PortWatch::Process().Seen(port); }

// The system's name for a resolved path.
std::string AnsiPath(const std::wstring& path) {
  return ToCodePage(path.c_str(), static_cast<UINT>(path.size()), CP_ACP);
}

HRESULT NewBstr(const std::wstring& text, BSTR* result) {
  if (!result) return E_POINTER;
  *result = ::SysAllocStringLen(text.c_str(), static_cast<UINT>(text.size()));
  return *result ? S_OK : E_OUTOFMEMORY;
}

VARIANT_BOOL Bool(bool value) { return value ? VARIANT_TRUE : VARIANT_FALSE; }

// A whole number 0-255 as a byte, or false.
template <typename Integer>
bool ByteOfInteger(Integer n, BYTE* value) {
  if constexpr (std::is_signed_v<Integer>) {
    if (n < 0) return false;
  }
  if (n > 255) return false;
  *value = static_cast<BYTE>(n);
  return true;
}

bool ByteOfDouble(double d, BYTE* value) {
  // NaN fails both comparisons.
  if (!(d >= 0 && d <= 255) || d != static_cast<double>(static_cast<int>(d))) return false;
  *value = static_cast<BYTE>(d);
  return true;
}

// A Decimal is judged exactly: through a double, 255.0000000000000000001
// would pass for 255.
bool ByteOfDecimal(const DECIMAL& d, BYTE* value) {
  DECIMAL copy = d;
  DECIMAL whole{};
  if (FAILED(::VarDecFix(&copy, &whole)) || ::VarDecCmp(&copy, &whole) != VARCMP_EQ) return false;
  return SUCCEEDED(::VarUI1FromDec(&copy, value));
}

// Currency counts ten-thousandths.
bool ByteOfCurrency(const CY& c, BYTE* value) {
  return c.int64 % 10000 == 0 && ByteOfInteger(c.int64 / 10000, value);
}

// One element of a host's array of variants as a byte value, or false. A
// variant of another type (a string of digits, say) is taken as the number it
// converts to.
bool ByteOfVariant(const VARIANT& item, BYTE* value) {
  const VARIANT* v = &item;
  if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
  switch (v->vt) {
    case VT_DECIMAL: return ByteOfDecimal(v->decVal, value);
    case VT_CY: return ByteOfCurrency(v->cyVal, value);
    case VT_I8: return ByteOfInteger(v->llVal, value);
    case VT_UI8: return ByteOfInteger(v->ullVal, value);
    default: break;
  }
  VARIANT number;
  ::VariantInit(&number);
  if (FAILED(::VariantChangeType(&number, const_cast<VARIANT*>(v), 0, VT_R8))) return false;
  return ByteOfDouble(number.dblVal, value);
}

// A count of milliseconds as a host passes it in a Variant: -1 (no limit) or
// a whole number from 0, of any numeric type, by reference too; a missing
// argument leaves `ms` as it is. False for anything else: a text of digits
// is refused, so that a typing slip is not taken for a time-out.
bool MillisecondsOf(const VARIANT& given, long* ms) {
  const VARIANT* v = &given;
  while (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
  if (v->vt == VT_ERROR && v->scode == DISP_E_PARAMNOTFOUND) return true;
  VARIANT value;
  ::VariantInit(&value);
  if (FAILED(::VariantCopyInd(&value, const_cast<VARIANT*>(v)))) return false;
  double d = 0;
  switch (value.vt) {
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4: case VT_INT:
    case VT_UINT: case VT_I8: case VT_UI8: case VT_R4: case VT_R8: {
      VARIANT number;
      ::VariantInit(&number);
      if (FAILED(::VariantChangeType(&number, &value, 0, VT_R8))) return false;
      d = number.dblVal;
      break;
    }
    case VT_CY:
      if (value.cyVal.int64 % 10000 != 0) return false;
      d = static_cast<double>(value.cyVal.int64 / 10000);
      break;
    case VT_DECIMAL: {
      // Judged exactly, as a byte's Decimal is.
      DECIMAL whole{};
      if (FAILED(::VarDecFix(&value.decVal, &whole)) || ::VarDecCmp(&value.decVal, &whole) != VARCMP_EQ ||
          FAILED(::VarR8FromDec(&whole, &d)))
        return false;
      break;
    }
    default:
      return false;  // nothing of these needs clearing
  }
  // NaN fails every comparison.
  if (!(d == kNoLimit || (d >= 0 && d <= 2147483647.0)) || d != static_cast<double>(static_cast<long long>(d)))
    return false;
  *ms = static_cast<long>(d);
  return true;
}

// The sizes of automation's array elements, in both word sizes: a VARIANT is
// 16 bytes in a 32-bit process and 24 in a 64-bit one, the rest are fixed.
static_assert(sizeof(VARIANT) == (sizeof(void*) == 8 ? 24 : 16), "a VARIANT of this word size");
static_assert(sizeof(DECIMAL) == 16 && sizeof(CY) == 8 && sizeof(LONGLONG) == 8, "8- and 16-byte elements");
static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4 && sizeof(INT) == 4 && sizeof(FLOAT) == 4, "4-byte elements");

// The size of one element of each array type taken as numbers; 0 for a type
// that is refused (strings, dates, Booleans, objects, records ...).
ULONG NumberElementSize(VARTYPE element) {
  switch (element) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: return 4;
    case VT_I8: case VT_UI8: case VT_R8: case VT_CY: return 8;
    case VT_DECIMAL: return sizeof(DECIMAL);
    case VT_VARIANT: return sizeof(VARIANT);
    default: return 0;
  }
}

// The element at `at` of an array of `element`, read as its own type.
bool ByteOfElement(VARTYPE element, const void* at, BYTE* value) {
  switch (element) {
    case VT_I1: return ByteOfInteger(*static_cast<const signed char*>(at), value);
    case VT_UI1: *value = *static_cast<const BYTE*>(at); return true;
    case VT_I2: return ByteOfInteger(*static_cast<const SHORT*>(at), value);
    case VT_UI2: return ByteOfInteger(*static_cast<const USHORT*>(at), value);
    case VT_I4: case VT_INT: return ByteOfInteger(*static_cast<const LONG*>(at), value);
    case VT_UI4: case VT_UINT: return ByteOfInteger(*static_cast<const ULONG*>(at), value);
    case VT_I8: return ByteOfInteger(*static_cast<const LONGLONG*>(at), value);
    case VT_UI8: return ByteOfInteger(*static_cast<const ULONGLONG*>(at), value);
    case VT_R4: return ByteOfDouble(*static_cast<const FLOAT*>(at), value);
    case VT_R8: return ByteOfDouble(*static_cast<const DOUBLE*>(at), value);
    case VT_CY: return ByteOfCurrency(*static_cast<const CY*>(at), value);
    case VT_DECIMAL: return ByteOfDecimal(*static_cast<const DECIMAL*>(at), value);
    case VT_VARIANT: return ByteOfVariant(*static_cast<const VARIANT*>(at), value);
    default: return false;
  }
}

// The bytes of a one-dimensional array of bytes or of numbers 0-255; false
// and a reason for anything else, with nothing taken.
bool BytesOf(const VARIANT& data, std::string& bytes, std::wstring& reason) {
  const VARIANT* v = &data;
  while (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
  if (!(v->vt & VT_ARRAY)) {
    reason = L"the data is not an array";
    return false;
  }
  SAFEARRAY* array = (v->vt & VT_BYREF) ? (v->pparray ? *v->pparray : nullptr) : v->parray;
  if (!array || ::SafeArrayGetDim(array) != 1) {
    reason = L"the data is not an array of one dimension";
    return false;
  }
  // Each element is read in place as the type it is, never copied into a
  // slot of another size. The array's own record of its type, where it keeps
  // one, says what it holds; its elements must have that type's size.
  VARTYPE element = static_cast<VARTYPE>(v->vt & VT_TYPEMASK);
  VARTYPE stored = VT_EMPTY;
  if (SUCCEEDED(::SafeArrayGetVartype(array, &stored)) && stored != VT_EMPTY) element = stored;
  const ULONG size = NumberElementSize(element);
  if (size == 0 || ::SafeArrayGetElemsize(array) != size) {
    reason = L"the data is not an array of bytes or numbers";
    return false;
  }
  const LONG low = array->rgsabound[0].lLbound;
  const size_t count = array->rgsabound[0].cElements;
  void* raw = nullptr;
  if (FAILED(::SafeArrayAccessData(array, &raw))) {
    reason = L"the array cannot be read";
    return false;
  }
  bytes.assign(count, '\0');
  size_t bad = count;
  if (element == VT_UI1 && count) std::copy_n(static_cast<const char*>(raw), count, bytes.begin());
  for (size_t i = 0; element != VT_UI1 && i < count && bad == count; ++i) {
    BYTE value = 0;
    if (ByteOfElement(element, static_cast<const char*>(raw) + i * size, &value))
      bytes[i] = static_cast<char>(value);
    else
      bad = i;
  }
  ::SafeArrayUnaccessData(array);
  if (bad != count) {
    bytes.clear();
    reason = L"element " + std::to_wstring(static_cast<LONGLONG>(low) + static_cast<LONGLONG>(bad)) + L" is not a number from 0 to 255";
    return false;
  }
  return true;
}

HRESULT NewByteArray(const char* bytes, size_t count, VARIANT* result) {
  SAFEARRAY* array = ::SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(count));
  if (!array) return E_OUTOFMEMORY;
  if (count) {
    void* raw = nullptr;
    ::SafeArrayAccessData(array, &raw);
    std::copy_n(bytes, count, static_cast<char*>(raw));
    ::SafeArrayUnaccessData(array);
  }
  result->vt = VT_ARRAY | VT_UI1;
  result->parray = array;
  return S_OK;
}

bool RegisterWindowClass() {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpszClassName = kWindowClass;
  wc.hInstance = com::ModuleHandle();
  wc.lpfnWndProc = ::DefWindowProcW;  // replaced per window below
  if (::RegisterClassExW(&wc)) return true;
  return ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

// --- Making and ending -------------------------------------------------------

HRESULT SerialPortObject::Create(REFIID riid, void** ppv) {
  return CreateWith(SystemKernel32(), riid, ppv);
}

HRESULT SerialPortObject::CreateWith(const Kernel32& k, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  ComPtr<ITypeInfo> dual, vtable, coclass;
  HRESULT hr = com::GetTypeInfoOfGuid(kSerialPortLibrary, IID_ISerialPort, dual.put());
  HREFTYPE ref = 0;
  if (SUCCEEDED(hr)) hr = dual->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref);
  if (SUCCEEDED(hr)) hr = dual->GetRefTypeInfo(ref, vtable.put());
  if (SUCCEEDED(hr)) hr = com::GetTypeInfoOfGuid(kSerialPortLibrary, CLSID_SerialPort, coclass.put());
  if (FAILED(hr)) return hr;
  if (!RegisterWindowClass()) return HRESULT_FROM_WIN32(::GetLastError());
  // A message-only window of the creating thread: notices posted to it are
  // handled when that thread pumps, and only then.
  HWND window = ::CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  com::ModuleHandle(), nullptr);
  if (!window) return HRESULT_FROM_WIN32(::GetLastError());
  SerialPortObject* object = nullptr;
  try {
    object = new SerialPortObject(k, std::move(dual), std::move(vtable), std::move(coclass), window);
  } catch (const std::bad_alloc&) {
    ::DestroyWindow(window);
    return E_OUTOFMEMORY;
  }
  hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}

SerialPortObject::SerialPortObject(const Kernel32& k, ComPtr<ITypeInfo> dual,
                                   ComPtr<ITypeInfo> vtable, ComPtr<ITypeInfo> coclass,
                                   HWND window)
    : k_(k),
      dual_(std::move(dual)),
      vtable_(std::move(vtable)),
      coclass_(std::move(coclass)),
      events_(*this, DIID_ISerialPortEvents, com::ConnectionPoint::kDispatchSinks),
      window_(window),
      readTimeout_(kDefaultReadTimeout),
      writeTimeout_(kDefaultWriteTimeout) {
  // The window's data holds the object's address in either word size.
  static_assert(sizeof(LONG_PTR) == sizeof(this), "window data holds a pointer");
  ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  ::SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WindowProc));
  events_.WatchConnections(&SerialPortObject::ConnectionsChanged, this);
}

SerialPortObject::~SerialPortObject() {
  CloseDevice();
  waiting_ = false;
  if (watching_) PortWatch::Process().Unsubscribe(window_);
  if (deviceNotices_) k_.UnregisterDeviceNotification(deviceNotices_);
  ::SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
  ::DestroyWindow(window_);
  events_.Close();
}

SerialPortObject::Counted::Counted() { com::ObjectCreated(); }
SerialPortObject::Counted::~Counted() { com::ObjectDestroyed(); }

void SerialPortObject::ThreadEnded() {
  PortDevice::StopThreadWatchers();
  PortWatch::Process().ThreadEnded(::GetCurrentThreadId());
}

void SerialPortObject::Unloaded() { ::UnregisterClassW(kWindowClass, com::ModuleHandle()); }

HRESULT SerialPortObject::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IDispatch) ||
      ::IsEqualIID(riid, IID_ISerialPort))
    *ppv = static_cast<ISerialPort*>(this);
  else if (::IsEqualIID(riid, IID_IConnectionPointContainer))
    *ppv = static_cast<IConnectionPointContainer*>(this);
  else if (::IsEqualIID(riid, IID_IProvideClassInfo) || ::IsEqualIID(riid, IID_IProvideClassInfo2))
    *ppv = static_cast<IProvideClassInfo2*>(this);
  else if (::IsEqualIID(riid, IID_ISupportErrorInfo))
    *ppv = static_cast<ISupportErrorInfo*>(this);
  else
    return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

ULONG SerialPortObject::AddRef() { return static_cast<ULONG>(::InterlockedIncrement(&refs_)); }

ULONG SerialPortObject::Release() {
  const LONG n = ::InterlockedDecrement(&refs_);
  if (n == 0) delete this;
  return static_cast<ULONG>(n);
}

// --- IDispatch ---------------------------------------------------------------

HRESULT SerialPortObject::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT SerialPortObject::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  *info = dual_.copy();
  return S_OK;
}

HRESULT SerialPortObject::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                        DISPID* ids) {
  if (!::IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (!names || !ids) return E_POINTER;
  return dual_->GetIDsOfNames(names, count, ids);
}

HRESULT SerialPortObject::Invoke(DISPID member, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                 VARIANT* result, EXCEPINFO* exception, UINT* argumentError) {
  if (!::IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  // A failed member leaves its description in the thread's error object;
  // one left over from an earlier call must not be taken for it.
  ::SetErrorInfo(0, nullptr);
  return com::InvokeMember(vtable_.get(), static_cast<ISerialPort*>(this), member, flags, params,
                           result, exception, argumentError, kFailureSource);
}

// --- Failures ------------------------------------------------------------------

HRESULT SerialPortObject::Fail(HRESULT status, const wchar_t* member, const std::wstring& what) {
  return com::Contained([&] {
    ComPtr<ICreateErrorInfo> create;
    if (FAILED(::CreateErrorInfo(create.put()))) return status;
    const std::wstring description = std::wstring(member) + L" on " + portName_ + L": " + what;
    create->SetGUID(IID_ISerialPort);
    create->SetSource(const_cast<LPOLESTR>(kSource));
    create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
    const ComPtr<IErrorInfo> info = create.As<IErrorInfo>(IID_IErrorInfo);
    if (info) ::SetErrorInfo(0, info.get());
    return status;
  });
}

// The system says "not enough memory" with two numbers; a host tests for one
// (serialErrOutOfMemory: E_OUTOFMEMORY, which is ERROR_OUTOFMEMORY's).
HRESULT SerialPortObject::FailSystem(const wchar_t* member, const Failure& failure) {
  const DWORD error = failure.error == ERROR_NOT_ENOUGH_MEMORY ? ERROR_OUTOFMEMORY : failure.error;
  return Fail(HRESULT_FROM_WIN32(error), member,
              std::wstring(failure.call) + L" failed: " + SystemText(failure.error));
}

HRESULT SerialPortObject::FailClosed(const wchar_t* member) {
  if (waiting_)
    return Fail(kWrongState, member,
                L"the port is not open: its device failed (" + SystemText(closedBy_) +
                    L"), and the port waits for it to return (AutoReconnect).");
  if (closedBy_)
    return Fail(kWrongState, member,
                L"the port is not open: it was closed when its device failed (" +
                    SystemText(closedBy_) + L").");
  return Fail(kWrongState, member, L"the port is not open.");
}

HRESULT SerialPortObject::FailArgument(const wchar_t* member, const std::wstring& what) {
  return Fail(E_INVALIDARG, member, what);
}

// --- Settings ------------------------------------------------------------------

HRESULT SerialPortObject::ChangeSettings(const wchar_t* member, const LineSettings& changed) {
  if (device_) {
    const Failure failure = device_->Apply(changed);
    if (failure.failed()) {
      if (failure.error == ERROR_INVALID_PARAMETER)
        return Fail(E_INVALIDARG, member, L"the driver refused the value: " + SystemText(failure.error));
      return FailSystem(member, failure);
    }
  }
  settings_ = changed;
  return S_OK;
}

HRESULT SerialPortObject::get_PortName(BSTR* result) { return NewBstr(portName_, result); }

HRESULT SerialPortObject::put_PortName(BSTR value) {
  return com::Contained([&] {
    const std::wstring name(value ? value : L"", ::SysStringLen(value));
    if (device_) return Fail(kWrongState, L"PortName", L"the port is open; close it first.");
    if (name.empty() || name.find(L'\0') != std::wstring::npos)
      return FailArgument(L"PortName", L"the name is empty or holds a NUL character.");
    portName_ = name;
    return S_OK;
  });
}

HRESULT SerialPortObject::PutSetting(const wchar_t* member, long LineSettings::*field,
                                     bool (*valid)(long), const wchar_t* range, long value) {
  return com::Contained([&] {
    if (!valid(value)) return FailArgument(member, std::to_wstring(value) + L" is not " + range);
    LineSettings changed = settings_;
    changed.*field = value;
    return ChangeSettings(member, changed);
  });
}

HRESULT SerialPortObject::get_BaudRate(LONG* result) {
  if (!result) return E_POINTER;
  *result = settings_.baudRate;
  return S_OK;
}
HRESULT SerialPortObject::put_BaudRate(LONG value) {
  return PutSetting(L"BaudRate", &LineSettings::baudRate, ValidBaudRate, L"a baud rate.", value);
}
HRESULT SerialPortObject::get_DataBits(LONG* result) {
  if (!result) return E_POINTER;
  *result = settings_.dataBits;
  return S_OK;
}
HRESULT SerialPortObject::put_DataBits(LONG value) {
  return PutSetting(L"DataBits", &LineSettings::dataBits, ValidDataBits, L"5, 6, 7 or 8.", value);
}
HRESULT SerialPortObject::get_Parity(SerialParity* result) {
  if (!result) return E_POINTER;
  *result = static_cast<SerialParity>(settings_.parity);
  return S_OK;
}
HRESULT SerialPortObject::put_Parity(SerialParity value) {
  return PutSetting(L"Parity", &LineSettings::parity, ValidParity,
                    L"a parity from 0 (none) to 4 (space).", static_cast<long>(value));
}
HRESULT SerialPortObject::get_StopBits(SerialStopBits* result) {
  if (!result) return E_POINTER;
  *result = static_cast<SerialStopBits>(settings_.stopBits);
  return S_OK;
}
HRESULT SerialPortObject::put_StopBits(SerialStopBits value) {
  return PutSetting(L"StopBits", &LineSettings::stopBits, ValidStopBits,
                    L"1 (one), 2 (two) or 3 (one and a half).", static_cast<long>(value));
}
HRESULT SerialPortObject::get_Handshake(SerialHandshake* result) {
  if (!result) return E_POINTER;
  *result = static_cast<SerialHandshake>(settings_.handshake);
  return S_OK;
}
HRESULT SerialPortObject::put_Handshake(SerialHandshake value) {
  return PutSetting(L"Handshake", &LineSettings::handshake, ValidHandshake,
                    L"a handshake from 0 (none) to 3 (both).", static_cast<long>(value));
}

HRESULT SerialPortObject::get_DtrEnable(VARIANT_BOOL* result) {
  if (!result) return E_POINTER;
  *result = Bool(settings_.dtrEnable);
  return S_OK;
}

HRESULT SerialPortObject::put_DtrEnable(VARIANT_BOOL value) {
  return com::Contained([&] {
    LineSettings changed = settings_;
    changed.dtrEnable = value != VARIANT_FALSE;
    return ChangeSettings(L"DtrEnable", changed);
  });
}

HRESULT SerialPortObject::get_RtsEnable(VARIANT_BOOL* result) {
  if (!result) return E_POINTER;
  *result = Bool(settings_.rtsEnable);
  return S_OK;
}

HRESULT SerialPortObject::put_RtsEnable(VARIANT_BOOL value) {
  return com::Contained([&] {
    LineSettings changed = settings_;
    changed.rtsEnable = value != VARIANT_FALSE;
    return ChangeSettings(L"RtsEnable", changed);
  });
}

HRESULT SerialPortObject::get_ReadTimeout(LONG* result) {
  if (!result) return E_POINTER;
  *result = readTimeout_;
  return S_OK;
}

HRESULT SerialPortObject::put_ReadTimeout(LONG value) {
  return com::Contained([&] {
    if (value < kNoLimit)
      return FailArgument(L"ReadTimeout", std::to_wstring(value) + L" is not -1 (no limit) or a count of milliseconds.");
    readTimeout_ = value;
    return S_OK;
  });
}

HRESULT SerialPortObject::get_WriteTimeout(LONG* result) {
  if (!result) return E_POINTER;
  *result = writeTimeout_;
  return S_OK;
}

HRESULT SerialPortObject::put_WriteTimeout(LONG value) {
  return com::Contained([&] {
    // The driver reads a write limit of 0 as none at all.
    if (value == 0 || value < kNoLimit)
      return FailArgument(L"WriteTimeout", std::to_wstring(value) + L" is not -1 (no limit) or a positive count of milliseconds.");
    if (device_) {
      const Failure failure = device_->SetWriteTimeout(value);
      if (failure.failed()) return FailSystem(L"WriteTimeout", failure);
    }
    writeTimeout_ = value;
    return S_OK;
  });
}

HRESULT SerialPortObject::get_NewLine(BSTR* result) { return NewBstr(newLine_, result); }

HRESULT SerialPortObject::put_NewLine(BSTR value) {
  return com::Contained([&] {
    const UINT length = ::SysStringLen(value);
    if (length == 0) return FailArgument(L"NewLine", L"the new-line text is empty.");
    newLine_.assign(value, length);
    return S_OK;
  });
}

HRESULT SerialPortObject::get_CodePage(LONG* result) {
  if (!result) return E_POINTER;
  *result = codePage_;
  return S_OK;
}

HRESULT SerialPortObject::put_CodePage(LONG value) {
  return com::Contained([&] {
    if (value != 0 && (value < 0 || !::IsValidCodePage(static_cast<UINT>(value))))
      return FailArgument(L"CodePage", std::to_wstring(value) + L" is not a code page installed here.");
    // A character cut across two reads must come out whole, so a code page
    // whose characters cannot be told apart byte by byte is refused.
    if (value != 0 && !WalksCharacters(static_cast<UINT>(value)))
      return FailArgument(L"CodePage", std::to_wstring(value) +
                                             L" is not supported: its characters cannot be told apart byte by byte (65001, UTF-8, can).");
    codePage_ = value;
    return S_OK;
  });
}

HRESULT SerialPortObject::get_ReceivedBytesThreshold(LONG* result) {
  if (!result) return E_POINTER;
  *result = threshold_;
  return S_OK;
}

HRESULT SerialPortObject::put_ReceivedBytesThreshold(LONG value) {
  return com::Contained([&] {
    if (value < 1) return FailArgument(L"ReceivedBytesThreshold", std::to_wstring(value) + L" is less than 1.");
    const bool lowered = value < threshold_;
    threshold_ = value;
    // Bytes that were too few for the old threshold may reach the new one.
    if (device_ && lowered) device_->arrivals().ThresholdLowered();
    return S_OK;
  });
}

// --- State ---------------------------------------------------------------------

// A host that pumps no messages (a script) learns of the loss and the return
// of an AutoReconnect port's device here: IsOpen looks at the device, and
// tries to reopen a waiting port when a try is due.
HRESULT SerialPortObject::get_IsOpen(VARIANT_BOOL* result) {
  if (!result) return E_POINTER;
  return com::Contained([&] {
    if (autoReconnect_ && device_) {
      DWORD in = 0;
      const Failure failure = device_->Queues(&in, nullptr);
      if (failure.failed()) LoseDevice(failure.error);
    } else if (waiting_) {
      TryReconnect(true);
    }
    *result = Bool(device_ != nullptr);
    return S_OK;
  });
}

HRESULT SerialPortObject::QueueCounts(const wchar_t* member, DWORD* in, DWORD* out) {
  if (!device_) return FailClosed(member);
  const Failure failure = device_->Queues(in, out);
  return failure.failed() ? FailSystem(member, failure) : S_OK;
}

HRESULT SerialPortObject::get_BytesToRead(LONG* result) {
  if (!result) return E_POINTER;
  return com::Contained([&] {
    DWORD in = 0;
    // While the port waits for its device, the held bytes are all there is.
    const HRESULT hr = !device_ && waiting_ ? S_OK : QueueCounts(L"BytesToRead", &in, nullptr);
    if (SUCCEEDED(hr)) *result = static_cast<LONG>(held_.size() + in);
    return hr;
  });
}

HRESULT SerialPortObject::get_BytesToWrite(LONG* result) {
  if (!result) return E_POINTER;
  return com::Contained([&] {
    DWORD out = 0;
    const HRESULT hr = QueueCounts(L"BytesToWrite", nullptr, &out);
    if (SUCCEEDED(hr)) *result = static_cast<LONG>(out);
    return hr;
  });
}

HRESULT SerialPortObject::ModemLine(const wchar_t* member, DWORD bit, VARIANT_BOOL* result) {
  if (!result) return E_POINTER;
  return com::Contained([&] {
    if (!device_) return FailClosed(member);
    DWORD status = 0;
    const Failure failure = device_->ModemStatus(&status);
    if (failure.failed()) return FailSystem(member, failure);
    *result = Bool((status & bit) != 0);
    return S_OK;
  });
}

HRESULT SerialPortObject::get_CtsHolding(VARIANT_BOOL* result) { return ModemLine(L"CtsHolding", MS_CTS_ON, result); }
HRESULT SerialPortObject::get_DsrHolding(VARIANT_BOOL* result) { return ModemLine(L"DsrHolding", MS_DSR_ON, result); }
HRESULT SerialPortObject::get_CDHolding(VARIANT_BOOL* result) { return ModemLine(L"CDHolding", MS_RLSD_ON, result); }
HRESULT SerialPortObject::get_RingIndicator(VARIANT_BOOL* result) { return ModemLine(L"RingIndicator", MS_RING_ON, result); }

HRESULT SerialPortObject::get_BreakState(VARIANT_BOOL* result) {
  if (!result) return E_POINTER;
  *result = Bool(breakState_);
  return S_OK;
}

HRESULT SerialPortObject::put_BreakState(VARIANT_BOOL value) {
  return com::Contained([&] {
    if (!device_) return FailClosed(L"BreakState");
    const bool on = value != VARIANT_FALSE;
    const Failure failure = device_->Escape(on ? SETBREAK : CLRBREAK);
    if (failure.failed()) return FailSystem(L"BreakState", failure);
    breakState_ = on;
    return S_OK;
  });
}

// --- Opening and closing ---------------------------------------------------------

// Notices carry the opening in their WPARAM above the kind's bits; a WPARAM
// has 32 bits in a 32-bit process, so the count wraps within what is left.
unsigned SerialPortObject::NextSession() {
  static_assert(sizeof(WPARAM) >= 4, "a WPARAM holds 32 bits at least");
  constexpr unsigned kSessionMask = (1u << (32 - kNoticeBits)) - 1;
  session_ = (session_ + 1) & kSessionMask;
  return session_;
}

Failure SerialPortObject::OpenDevice(const std::wstring& path, std::unique_ptr<PortDevice>& device) {
  device = std::make_unique<PortDevice>(k_, window_, kNoticeMessage, NextSession());
  const Failure failure = device->Open(AnsiPath(path), settings_, writeTimeout_);
  if (failure.failed()) device.reset();
  return failure;
}

// A port that waits for its device may be opened by hand: the waiting ends
// when it opens.
HRESULT SerialPortObject::Open() {
  return com::Contained([&] {
    if (device_) return Fail(kWrongState, L"Open", L"the port is open already.");
    // A name that says which device is looked up again at every opening:
    // the device may sit behind another number since the last.
    const devices::ResolvedPort resolved = devices::ResolvePortName(portName_);
    if (resolved.failed()) return Fail(HRESULT_FROM_WIN32(resolved.error), L"Open", resolved.failure);
    std::unique_ptr<PortDevice> device;
    const Failure failure = OpenDevice(resolved.path, device);
    if (failure.failed()) return FailSystem(L"Open", failure);
    Opened(std::move(device), resolved.portName);
    return S_OK;
  });
}

// The port is open, by hand or again after its device came back: the waiting
// ends, and nothing of an earlier opening stays.
void SerialPortObject::Opened(std::unique_ptr<PortDevice> device, const std::wstring& port) {
  StopWaiting();
  device_ = std::move(device);
  resolvedName_ = port;
  closedBy_ = 0;
  held_.clear();
  breakState_ = false;
}

void SerialPortObject::CloseDevice() {
  device_.reset();
  resolvedName_.clear();
  held_.clear();
  breakState_ = false;
}

HRESULT SerialPortObject::Close() {
  StopWaiting();
  CloseDevice();
  return S_OK;
}

// --- Writing ---------------------------------------------------------------------

UINT SerialPortObject::ActualCodePage() const {
  return codePage_ == 0 ? ::GetACP() : static_cast<UINT>(codePage_);
}

HRESULT SerialPortObject::WriteRaw(const wchar_t* member, const std::string& bytes) {
  if (!device_) return FailClosed(member);
  DWORD written = 0;
  const Failure failure = device_->Write(bytes.data(), static_cast<DWORD>(bytes.size()), &written);
  if (failure.error == ERROR_TIMEOUT)
    return Fail(HRESULT_FROM_WIN32(ERROR_TIMEOUT), member,
                std::to_wstring(written) + L" of " + std::to_wstring(bytes.size()) +
                    L" bytes were sent within the write time-out of " +
                    std::to_wstring(writeTimeout_) + L" ms.");
  return failure.failed() ? FailSystem(member, failure) : S_OK;
}

HRESULT SerialPortObject::WriteText(const wchar_t* member, const std::wstring& text) {
  if (!device_) return FailClosed(member);
  return WriteRaw(member, ToCodePage(text.c_str(), static_cast<UINT>(text.size()), ActualCodePage()));
}

HRESULT SerialPortObject::Write(BSTR text) {
  return com::Contained([&] {
    return WriteText(L"Write", std::wstring(text ? text : L"", ::SysStringLen(text)));
  });
}

HRESULT SerialPortObject::WriteLine(BSTR text) {
  return com::Contained([&] {
    return WriteText(L"WriteLine", std::wstring(text ? text : L"", ::SysStringLen(text)) + newLine_);
  });
}

HRESULT SerialPortObject::WriteBytes(VARIANT data) {
  return com::Contained([&] {
    std::string bytes;
    std::wstring reason;
    if (!BytesOf(data, bytes, reason)) return FailArgument(L"WriteBytes", reason + L".");
    return WriteRaw(L"WriteBytes", bytes);
  });
}

// --- Reading ---------------------------------------------------------------------

Failure SerialPortObject::Fill(DWORD most) {
  if (!device_) return {};  // waiting for the device: only the held bytes
  DWORD in = 0;
  Failure failure = device_->Queues(&in, nullptr);
  if (!failure.failed() && in > 0) failure = device_->Read(held_, std::min(in, most));
  return failure;
}

// S_OK once `done` holds, S_FALSE when the time-out ran out first; the bytes
// taken so far stay held either way, and were counted as taken when they
// left the driver, so the next read sees them once and DataReceived does not
// tell them again.
template <typename Done>
HRESULT SerialPortObject::ReadUntil(const wchar_t* member, long timeout, Done done) {
  const ULONGLONG start = ::GetTickCount64();
  for (;;) {
    const Failure failure = Fill(MAXDWORD);
    if (failure.failed()) return FailSystem(member, failure);
    if (done()) return S_OK;
    if (!device_) return FailClosed(member);  // nothing more comes while waiting
    DWORD wait = kReadSlice;
    if (timeout != kNoLimit) {
      const ULONGLONG spent = ::GetTickCount64() - start;
      if (spent >= static_cast<ULONGLONG>(timeout)) return S_FALSE;
      wait = static_cast<DWORD>(std::min<ULONGLONG>(wait, static_cast<ULONGLONG>(timeout) - spent));
    }
    device_->WaitForArrival(wait);
  }
}

HRESULT SerialPortObject::ReadExisting(BSTR* result) {
  if (!result) return E_POINTER;
  *result = nullptr;
  return com::Contained([&] {
    if (!Readable()) return FailClosed(L"ReadExisting");
    const Failure failure = Fill(MAXDWORD);
    if (failure.failed()) return FailSystem(L"ReadExisting", failure);
    // A character whose last bytes have not come yet waits for them.
    const UINT codePage = ActualCodePage();
    const size_t whole = WholeCharacters(held_.data(), held_.size(), codePage);
    const HRESULT hr = NewBstr(FromCodePage(held_.data(), whole, codePage), result);
    if (SUCCEEDED(hr)) held_.erase(0, whole);
    return hr;
  });
}

HRESULT SerialPortObject::ReadText(const wchar_t* member, const std::string& terminator,
                                   long timeout, BSTR* result) {
  if (!result) return E_POINTER;
  *result = nullptr;
  if (!Readable()) return FailClosed(member);
  const UINT codePage = ActualCodePage();
  size_t found = std::string::npos;
  const HRESULT hr = ReadUntil(member, timeout, [&] {
    // Only a match that starts a character counts: in a double-byte code
    // page, the second byte of a character may equal the terminator's first.
    for (size_t at = held_.find(terminator); at != std::string::npos;
         at = held_.find(terminator, at + 1)) {
      if (WholeCharacters(held_.data(), at, codePage) == at) {
        found = at;
        return true;
      }
    }
    return false;
  });
  if (FAILED(hr)) return hr;
  if (hr == S_FALSE)
    return Fail(HRESULT_FROM_WIN32(ERROR_TIMEOUT), member,
                std::wstring(L"the terminator did not come within the ") +
                    (timeout == readTimeout_ ? L"read time-out of " : L"time-out of ") +
                    std::to_wstring(timeout) + L" ms; the " + std::to_wstring(held_.size()) +
                    L" bytes received stay for the next read.");
  const HRESULT made = NewBstr(FromCodePage(held_.data(), found, codePage), result);
  if (SUCCEEDED(made)) held_.erase(0, found + terminator.size());
  return made;
}

HRESULT SerialPortObject::ReadLine(BSTR* result) {
  return com::Contained([&] {
    const UINT codePage = ActualCodePage();
    return ReadText(L"ReadLine", ToCodePage(newLine_.c_str(), static_cast<UINT>(newLine_.size()), codePage),
                    readTimeout_, result);
  });
}

HRESULT SerialPortObject::ReadTo(BSTR terminator, BSTR* result) {
  return com::Contained([&] {
    const UINT length = ::SysStringLen(terminator);
    if (length == 0) {
      if (result) *result = nullptr;
      return FailArgument(L"ReadTo", L"the terminator is empty.");
    }
    return ReadText(L"ReadTo", ToCodePage(terminator, length, ActualCodePage()), readTimeout_, result);
  });
}

HRESULT SerialPortObject::ReadBytes(LONG count, VARIANT* result) {
  if (!result) return E_POINTER;
  ::VariantInit(result);
  return com::Contained([&] {
    if (count < 0) return FailArgument(L"ReadBytes", std::to_wstring(count) + L" is a negative count.");
    if (!Readable()) return FailClosed(L"ReadBytes");
    const size_t wanted = static_cast<size_t>(count);
    if (wanted > 0) {
      const HRESULT hr = ReadUntil(L"ReadBytes", readTimeout_, [&] { return !held_.empty(); });
      if (FAILED(hr)) return hr;
      if (hr == S_FALSE)
        return Fail(HRESULT_FROM_WIN32(ERROR_TIMEOUT), L"ReadBytes",
                    L"no byte came within the read time-out of " + std::to_wstring(readTimeout_) + L" ms.");
    }
    const size_t taken = std::min(wanted, held_.size());
    const HRESULT made = NewByteArray(held_.data(), taken, result);
    if (SUCCEEDED(made)) held_.erase(0, taken);
    return made;
  });
}

// No upper bound but the Long's, as ReadBytes: the bytes are gathered as
// they arrive, so a count that never comes costs the time-out, not memory.
HRESULT SerialPortObject::ReadExactly(LONG count, VARIANT* result) {
  if (!result) return E_POINTER;
  ::VariantInit(result);
  return com::Contained([&] {
    if (count < 0) return FailArgument(L"ReadExactly", std::to_wstring(count) + L" is a negative count.");
    if (!Readable()) return FailClosed(L"ReadExactly");
    const size_t wanted = static_cast<size_t>(count);
    const HRESULT hr = ReadUntil(L"ReadExactly", readTimeout_, [&] { return held_.size() >= wanted; });
    if (FAILED(hr)) return hr;
    if (hr == S_FALSE)
      return Fail(HRESULT_FROM_WIN32(ERROR_TIMEOUT), L"ReadExactly",
                  std::to_wstring(held_.size()) + L" of " + std::to_wstring(wanted) +
                      L" bytes came within the read time-out of " + std::to_wstring(readTimeout_) +
                      L" ms; they stay for the next read.");
    const HRESULT made = NewByteArray(held_.data(), wanted, result);
    if (SUCCEEDED(made)) held_.erase(0, wanted);
    return made;
  });
}

// The answer to this question only: what came before it is discarded, and a
// time-out leaves what did come of the answer for the next read.
HRESULT SerialPortObject::Query(BSTR text, VARIANT timeout, BSTR* result) {
  if (!result) return E_POINTER;
  *result = nullptr;
  return com::Contained([&] {
    long limit = readTimeout_;
    if (!MillisecondsOf(timeout, &limit))
      return FailArgument(L"Query", L"the time-out is not -1 (no limit) or a whole number of milliseconds.");
    HRESULT hr = DiscardIn(L"Query");
    if (SUCCEEDED(hr))
      hr = WriteText(L"Query", std::wstring(text ? text : L"", ::SysStringLen(text)) + newLine_);
    if (FAILED(hr)) return hr;
    const UINT codePage = ActualCodePage();
    return ReadText(L"Query", ToCodePage(newLine_.c_str(), static_cast<UINT>(newLine_.size()), codePage),
                    limit, result);
  });
}

HRESULT SerialPortObject::DiscardIn(const wchar_t* member) {
  if (!device_) return FailClosed(member);
  const Failure failure = device_->Purge(PURGE_RXCLEAR);
  if (failure.failed()) return FailSystem(member, failure);
  held_.clear();
  return S_OK;
}

HRESULT SerialPortObject::DiscardInBuffer() {
  return com::Contained([&] { return DiscardIn(L"DiscardInBuffer"); });
}

HRESULT SerialPortObject::DiscardOutBuffer() {
  return com::Contained([&] {
    if (!device_) return FailClosed(L"DiscardOutBuffer");
    const Failure failure = device_->Purge(PURGE_TXCLEAR);
    return failure.failed() ? FailSystem(L"DiscardOutBuffer", failure) : S_OK;
  });
}

// --- Reconnecting -----------------------------------------------------------------

HRESULT SerialPortObject::get_AutoReconnect(VARIANT_BOOL* result) {
  if (!result) return E_POINTER;
  *result = Bool(autoReconnect_);
  return S_OK;
}

// Lowered while the port waits, the waiting ends and the port is closed as a
// port whose device failed is without it.
HRESULT SerialPortObject::put_AutoReconnect(VARIANT_BOOL value) {
  autoReconnect_ = value != VARIANT_FALSE;
  if (!autoReconnect_ && waiting_) {
    StopWaiting();
    held_.clear();
  }
  return S_OK;
}

void SerialPortObject::StartWaiting() {
  waiting_ = true;
  retryMs_ = kFirstRetryMs;
  nextTry_ = ::GetTickCount64() + kFirstRetryMs;
  ::SetTimer(window_, kRetryTimer, IsNetworkName(portName_) ? kFirstRetryMs : kPortRetryMs, nullptr);
  UpdateWatch();
}

void SerialPortObject::StopWaiting() {
  if (!waiting_) return;
  waiting_ = false;
  ::KillTimer(window_, kRetryTimer);
  UpdateWatch();
}

// Reopened with every setting the host made (line settings, handshake and
// lines, time-outs; code page, new line and threshold are the object's), and
// empty queues: what was held before the loss goes now.
// Reconnected is posted, so that it comes from the message loop also when a
// host's call reopened the port.
void SerialPortObject::TryReconnect(bool fromCall) {
  if (!waiting_ || device_) return;
  if (fromCall && ::GetTickCount64() < nextTry_) return;
  const bool network = IsNetworkName(portName_);
  // Resolved again: a device named by what it is may be back on another port.
  const devices::ResolvedPort resolved = devices::ResolvePortName(portName_);
  if (!resolved.failed() && PortIsBack(resolved.portName)) {
    std::unique_ptr<PortDevice> device;
    if (!OpenDevice(resolved.path, device).failed()) {
      Opened(std::move(device), resolved.portName);
      ::PostMessageW(window_, kTellMessage, kTellBack, 0);
      return;
    }
  }
  if (network) {
    retryMs_ = std::min(retryMs_ * 2, kLastRetryMs);
    ::SetTimer(window_, kRetryTimer, retryMs_, nullptr);
  }
  nextTry_ = ::GetTickCount64() + (network ? retryMs_ : kPortRetryMs);
}

void SerialPortObject::LoseDevice(DWORD error) {
  std::string unread = std::move(held_);
  CloseDevice();
  closedBy_ = error ? error : ERROR_GEN_FAILURE;
  held_ = std::move(unread);
  StartWaiting();
  ::PostMessageW(window_, kTellMessage, kTellLost, 0);
}

// --- Arrival and departure -----------------------------------------------------------

void SerialPortObject::ConnectionsChanged(void* object) {
  static_cast<SerialPortObject*>(object)->UpdateWatch();
}

// Watched while anyone listens or the port waits: the system's device notices
// to the window, and the port watcher where those are not delivered (Wine)
// and as a safety net.
void SerialPortObject::UpdateWatch() {
  const bool wanted = events_.HasSinks() || waiting_;
  if (wanted == watching_) return;
  watching_ = wanted;
  if (wanted) {
    PortWatch::Process().Subscribe(window_, kPortsMessage);
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kCommPortInterface;
    deviceNotices_ = k_.RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  } else {
    PortWatch::Process().Unsubscribe(window_);
    if (deviceNotices_) k_.UnregisterDeviceNotification(deviceNotices_);
    deviceNotices_ = nullptr;
    settling_ = false;
    ::KillTimer(window_, kSettleTimer);
  }
}

// A device notice waits a moment for the others of its device, and has the
// watcher look, so that the change it brings is not told twice; the
// watcher's own notice is told at once, unless a device notice's is due.
void SerialPortObject::OnPortsChanged(bool deviceNotice) {
  if (!watching_) return;
  if (deviceNotice) {
    PortWatch::Process().LookSoon();
    if (!settling_) ::SetTimer(window_, kSettleTimer, kSettleMs, nullptr);
    settling_ = true;
    return;
  }
  if (!settling_) RaisePortsChanged();
}

void SerialPortObject::RaisePortsChanged() {
  RaiseEvent(kPortsChanged);
  TryReconnect(false);
}

// --- Finding ports -----------------------------------------------------------------

HRESULT SerialPortObject::GetPortNames(VARIANT* result) {
  if (!result) return E_POINTER;
  ::VariantInit(result);
  return com::Contained([&] {
    const std::vector<std::wstring> names = ListPortNames();
    // Variants, not strings: a script can index only an array of variants.
    SAFEARRAY* array = ::SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(names.size()));
    if (!array) return E_OUTOFMEMORY;
    for (LONG i = 0; i < static_cast<LONG>(names.size()); ++i) {
      VARIANT item;
      item.vt = VT_BSTR;
      item.bstrVal = ::SysAllocString(names[static_cast<size_t>(i)].c_str());
      const HRESULT put = item.bstrVal ? ::SafeArrayPutElement(array, &i, &item) : E_OUTOFMEMORY;
      ::VariantClear(&item);
      if (FAILED(put)) {
        ::SafeArrayDestroy(array);
        return put;
      }
    }
    result->vt = VT_ARRAY | VT_VARIANT;
    result->parray = array;
    return S_OK;
  });
}

HRESULT SerialPortObject::GetPortDescription(BSTR name, BSTR* result) {
  if (!result) return E_POINTER;
  *result = nullptr;
  return com::Contained([&] {
    return NewBstr(DescribePort(std::wstring(name ? name : L"", ::SysStringLen(name))), result);
  });
}

HRESULT SerialPortObject::GetPorts(ISerialPortInfos** result) {
  if (!result) return E_POINTER;
  *result = nullptr;
  return com::Contained([&] { return NewPortInfos(devices::ListPortFacts(), result); });
}

HRESULT SerialPortObject::get_ResolvedPortName(BSTR* result) { return NewBstr(resolvedName_, result); }

// --- Events ------------------------------------------------------------------------

LRESULT CALLBACK SerialPortObject::WindowProc(HWND window, UINT message, WPARAM wparam,
                                              LPARAM lparam) {
  const bool ours = message == kNoticeMessage || message == kPortsMessage || message == kTellMessage ||
                    message == WM_TIMER || message == WM_DEVICECHANGE;
  if (!ours) return ::DefWindowProcW(window, message, wparam, lparam);
  auto* object = reinterpret_cast<SerialPortObject*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!object) return message == WM_DEVICECHANGE ? TRUE : 0;
  // A handler may release the host's last reference: the object stays until
  // the notice is handled, and nothing here touches it after.
  object->AddRef();
  try {
    object->OnMessage(message, wparam, lparam);
  } catch (const std::bad_alloc&) {
    // The event is lost; the port goes on.
  }
  object->Release();
  // The system sends device notices; any answer but BROADCAST_QUERY_DENY lets
  // a device go.
  return message == WM_DEVICECHANGE ? TRUE : 0;
}

// A device notice is sent, and may come while the thread waits inside a
// call that pumps: it only arms a timer, and the event comes from the
// thread's message loop, as every other event does.
void SerialPortObject::OnMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case kNoticeMessage:
      OnNotice(static_cast<Notice>(wparam & ((1u << kNoticeBits) - 1)),
               static_cast<unsigned>(wparam >> kNoticeBits), lparam);
      break;
    case kPortsMessage:
      PortWatch::Process().Taken(window_);
      OnPortsChanged(false);
      break;
    case kTellMessage:
      if (wparam == kTellLost) RaiseEvent(kErrorReceived, static_cast<LONG>(CE_IOE));
      if (wparam == kTellBack) RaiseEvent(kReconnected);
      break;
    case WM_DEVICECHANGE: {
      const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lparam);
      const bool arrivedOrGone = wparam == DBT_DEVICEARRIVAL || wparam == DBT_DEVICEREMOVECOMPLETE;
      if (arrivedOrGone && header &&
          (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE || header->dbch_devicetype == DBT_DEVTYP_PORT))
        OnPortsChanged(true);
      break;
    }
    case WM_TIMER:
      if (wparam == kSettleTimer) {
        ::KillTimer(window_, kSettleTimer);
        if (!settling_) break;
        settling_ = false;
        RaisePortsChanged();
      } else if (wparam == kRetryTimer) {
        TryReconnect(false);
      }
      break;
    default:
      break;
  }
}

void SerialPortObject::OnNotice(Notice kind, unsigned session, LPARAM) {
  // A notice of an earlier opening, or of a closed port, has nobody to tell.
  if (!device_ || session != session_) return;
  switch (kind) {
    case Notice::kData:
      OnData();
      break;
    case Notice::kPins: {
      const DWORD pins = device_->arrivals().TakePins();
      for (DWORD pin : kPinOrder) {
        if (!(pins & pin)) continue;
        RaiseEvent(kPinChanged, static_cast<LONG>(pin));
        if (!device_ || session != session_) return;
      }
      break;
    }
    case Notice::kErrors:
      if (const DWORD errors = device_->arrivals().TakeErrors())
        RaiseEvent(kErrorReceived, static_cast<LONG>(errors));
      break;
    case Notice::kFailed:
      Vanished(device_->arrivals().TakeFailure());
      break;
  }
}

// DataReceived is raised once for arrivals that no earlier one reported, with
// the count then held and queued. A handler that takes some bytes but leaves
// others is called again for them; one that takes none is called again when
// more arrive, not before, so an idle handler costs nothing. The rules are
// the opening's Arrivals'.
void SerialPortObject::OnData() {
  const unsigned session = session_;
  DWORD in = 0;
  Failure failure = device_->Queues(&in, nullptr);
  if (failure.failed()) return Vanished(failure.error);
  const size_t before = held_.size() + in;
  if (!device_->arrivals().StartData(before, device_->arrivals().Arrived(in), static_cast<size_t>(threshold_)))
    return;
  RaiseEvent(kDataReceived, static_cast<LONG>(before));
  // Closed by the handler, or opened again: the new opening has its own.
  if (!device_ || session != session_) return;
  failure = device_->Queues(&in, nullptr);
  if (failure.failed()) return Vanished(failure.error);
  device_->arrivals().EndData(held_.size() + in, device_->arrivals().Arrived(in),
                              static_cast<size_t>(threshold_));
}

// The host learns that its device is gone without calling anything: the port
// is closed (IsOpen False), and ErrorReceived comes with the I/O error flag.
// With AutoReconnect the port then waits for its device, and the bytes the
// host had not read stay readable until it is back.
void SerialPortObject::Vanished(DWORD error) {
  std::string unread = std::move(held_);
  CloseDevice();
  closedBy_ = error ? error : ERROR_GEN_FAILURE;
  if (autoReconnect_) {
    held_ = std::move(unread);
    StartWaiting();
  }
  RaiseEvent(kErrorReceived, static_cast<LONG>(CE_IOE));
}

void SerialPortObject::RaiseEvent(DISPID event, LONG argument) {
  VARIANT value;
  value.vt = VT_I4;
  value.lVal = argument;
  DISPPARAMS params = {&value, nullptr, 1, 0};
  RaiseEvent(event, params);
}

void SerialPortObject::RaiseEvent(DISPID event) {
  DISPPARAMS params = {nullptr, nullptr, 0, 0};
  RaiseEvent(event, params);
}

void SerialPortObject::RaiseEvent(DISPID event, DISPPARAMS& params) {
  std::vector<IUnknown*> sinks;
  try {
    sinks = events_.Snapshot();
  } catch (const std::bad_alloc&) {
    return;  // the event is lost, the port goes on
  }
  // In the order they connected; a sink that fails does not stop the others.
  for (IUnknown* sink : sinks) {
    if (!events_.IsConnected(sink)) continue;
    static_cast<IDispatch*>(sink)->Invoke(event, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                          &params, nullptr, nullptr, nullptr);
  }
  com::ConnectionPoint::Release(sinks);
}

HRESULT SerialPortObject::EnumConnectionPoints(IEnumConnectionPoints** out) {
  try {
    return com::EnumeratePoints(static_cast<IConnectionPointContainer*>(this), {&events_}, out);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT SerialPortObject::FindConnectionPoint(REFIID riid, IConnectionPoint** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!::IsEqualIID(riid, DIID_ISerialPortEvents)) return CONNECT_E_NOCONNECTION;
  events_.AddRef();
  *out = &events_;
  return S_OK;
}

// --- Class information and error information ----------------------------------------

HRESULT SerialPortObject::GetClassInfo(ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = coclass_.copy();
  return S_OK;
}

HRESULT SerialPortObject::GetGUID(DWORD kind, GUID* guid) {
  if (!guid) return E_POINTER;
  if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
    *guid = GUID_NULL;
    return E_INVALIDARG;
  }
  *guid = DIID_ISerialPortEvents;
  return S_OK;
}

HRESULT SerialPortObject::InterfaceSupportsErrorInfo(REFIID riid) {
  return ::IsEqualIID(riid, IID_ISerialPort) ? S_OK : S_FALSE;
}

}  // namespace vemblaric::serial_port
