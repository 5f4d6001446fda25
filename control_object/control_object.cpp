#include "control_object/control_object.h"

#include <olectl.h>

#include <climits>
#include <new>
#include <utility>

#include "com/dispatch.h"
#include "com/module.h"
#include "com/type_library.h"
#include "control_object/identifiers.h"
#include "port/caught_failure.h"
#include "server/runtime/do_events.h"

namespace vemblaric::control_object {
namespace {

// Caught failures carry their automation numbers and their own texts; any
// other status reads as the system describes it.
BSTR DescribeFailure(HRESULT status) noexcept {
  if ((static_cast<unsigned long>(status) & 0xFFFF0000UL) == 0x800A0000UL)
    return ::SysAllocString(CaughtFailureText(status & 0xFFFF));
  return com::DescribeFailure(status);
}

}  // namespace

const com::FailureSource kFailureSource = {L"Vemblaric", &DescribeFailure};

namespace {


// The count of an object whose last reference is gone. What its teardown
// calls may take and drop references to it; from here they never bring the
// count back to zero, so the object is destroyed once.
constexpr LONG kReleasedCount = LONG_MAX / 2;

}  // namespace

HRESULT ControlObject::Create(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  const com::TypeLibraryEntry& library = *kSerialControlClass.typeLibrary;
  ComPtr<ITypeInfo> dual, vtable, coclass;
  HRESULT hr = com::GetTypeInfoOfGuid(library, IID__SerialControl, dual.put());
  // A dual interface's entry is its dispatch view; the function-table view
  // is its implemented type -1.
  HREFTYPE ref = 0;
  if (SUCCEEDED(hr)) hr = dual->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref);
  if (SUCCEEDED(hr)) hr = dual->GetRefTypeInfo(ref, vtable.put());
  if (SUCCEEDED(hr)) hr = com::GetTypeInfoOfGuid(library, CLSID_SerialControl, coclass.put());
  if (FAILED(hr)) return hr;
  ControlObject* object = nullptr;
  try {
    object = new ControlObject(std::move(dual), std::move(vtable), std::move(coclass));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}

ControlObject::ControlObject(ComPtr<ITypeInfo> dual, ComPtr<ITypeInfo> vtable,
                             ComPtr<ITypeInfo> coclass)
    : dual_(std::move(dual)),
      vtable_(std::move(vtable)),
      coclass_(std::move(coclass)),
      events_(*this, DIID___SerialControl, ConnectionPoint::kDispatchSinks),
      notify_(*this, IID_IPropertyNotifySink),
      control_(*this) {}

ControlObject::~ControlObject() { LetGoOfOutside(); }

ControlObject::Counted::Counted() { com::ObjectCreated(); }
ControlObject::Counted::~Counted() { com::ObjectDestroyed(); }

void ControlObject::LetGoOfOutside() {
  // The container first: it may still call any member, the type
  // descriptions included, while it lets go.
  ReleaseControlBase();
  events_.Close();
  notify_.Close();
  coclass_.reset();
  vtable_.reset();
  dual_.reset();
}

HRESULT ControlObject::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IDispatch) ||
      ::IsEqualIID(riid, IID__SerialControl))
    *ppv = static_cast<_SerialControl*>(this);
  else if (::IsEqualIID(riid, IID_IConnectionPointContainer))
    *ppv = static_cast<IConnectionPointContainer*>(this);
  else if (::IsEqualIID(riid, IID_IProvideClassInfo) || ::IsEqualIID(riid, IID_IProvideClassInfo2))
    *ppv = static_cast<IProvideClassInfo2*>(this);
  else if (::IsEqualIID(riid, IID_ISupportErrorInfo))
    *ppv = static_cast<ISupportErrorInfo*>(this);
  else
    return QueryControlBase(riid, ppv);
  AddRef();
  return S_OK;
}

ULONG ControlObject::AddRef() { return static_cast<ULONG>(::InterlockedIncrement(&refs_)); }

ULONG ControlObject::Release() {
  const LONG n = ::InterlockedDecrement(&refs_);
  if (n == 0) {
    refs_ = kReleasedCount;
    released_ = true;
    delete this;
    return 0;
  }
  // Only the control's own holds are left: the host has let go while a member
  // or the loop's turn still runs, so the control leaves the receive loop.
  if (n == holds_) control_.HostLetGo();
  return static_cast<ULONG>(n);
}

// --- IDispatch ---------------------------------------------------------------

HRESULT ControlObject::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT ControlObject::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  *info = dual_.copy();
  return S_OK;
}

HRESULT ControlObject::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                     DISPID* ids) {
  if (!::IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (!names || !ids) return E_POINTER;
  return dual_->GetIDsOfNames(names, count, ids);
}

HRESULT ControlObject::Invoke(DISPID member, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                              VARIANT* result, EXCEPINFO* exception, UINT* argumentError) {
  if (!::IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  Hold hold(this);
  return com::InvokeMember(vtable_.get(), static_cast<_SerialControl*>(this), member, flags,
                           params, result, exception, argumentError, kFailureSource);
}

// --- _SerialControl: each member is the control's, held while it runs --------

HRESULT ControlObject::Open_Com() { Hold h(this); return Report(control_.Open_Com()); }
HRESULT ControlObject::Close_Com() { Hold h(this); return Report(control_.Close_Com()); }
HRESULT ControlObject::Read_Com() { Hold h(this); return Report(control_.Read_Com()); }
HRESULT ControlObject::Write_Com(BSTR Datastr) { Hold h(this); return Report(control_.Write_Com(Datastr)); }
HRESULT ControlObject::get_Port(short* result) { return Report(control_.get_Port(result)); }
HRESULT ControlObject::put_Port(short value) { Hold h(this); return Report(control_.put_Port(value)); }
HRESULT ControlObject::get_Baud(LONG* result) { return Report(control_.get_Baud(result)); }
HRESULT ControlObject::put_Baud(LONG value) { Hold h(this); return Report(control_.put_Baud(value)); }
HRESULT ControlObject::get_Status(VARIANT_BOOL* result) { return Report(control_.get_Status(result)); }
HRESULT ControlObject::put_Status(VARIANT_BOOL value) { Hold h(this); return Report(control_.put_Status(value)); }
HRESULT ControlObject::Clear_Com() { return Report(control_.Clear_Com()); }
HRESULT ControlObject::get_Buffer(BSTR* result) { return Report(control_.get_Buffer(result)); }
HRESULT ControlObject::put_Buffer(BSTR value) { Hold h(this); return Report(control_.put_Buffer(value)); }
HRESULT ControlObject::get_Company(BSTR* result) { return Report(control_.get_Company(result)); }
HRESULT ControlObject::ControlOn() { return Report(control_.ControlOn()); }
HRESULT ControlObject::ControlOff() { return Report(control_.ControlOff()); }
HRESULT ControlObject::waitnow(LONG* valu1) { return Report(control_.waitnow(valu1)); }
HRESULT ControlObject::GetSystemMessage(LONG* lngErrorCode, BSTR* result) {
  return Report(control_.GetSystemMessage(lngErrorCode, result));
}
HRESULT ControlObject::CommOpen(short* intPortID, BSTR* strPort, BSTR* strSettings, LONG* result) {
  return Report(control_.CommOpen(intPortID, strPort, strSettings, result));
}
HRESULT ControlObject::CommSet(short* intPortID, BSTR* strSettings, LONG* result) {
  return Report(control_.CommSet(intPortID, strSettings, result));
}
HRESULT ControlObject::CommClose(short* intPortID, LONG* result) {
  return Report(control_.CommClose(intPortID, result));
}
HRESULT ControlObject::CommFlush(short* intPortID, LONG* result) {
  return Report(control_.CommFlush(intPortID, result));
}
HRESULT ControlObject::CommRead(short* intPortID, BSTR* strData, LONG* lngSize, LONG* result) {
  Hold h(this);  // pumps messages
  return Report(control_.CommRead(intPortID, strData, lngSize, result));
}
HRESULT ControlObject::CommWrite(short* intPortID, BSTR* strData, LONG* result) {
  Hold h(this);  // pumps messages
  return Report(control_.CommWrite(intPortID, strData, result));
}
HRESULT ControlObject::CommGetLine(short* intPortID, short* intLine, VARIANT_BOOL* blnState,
                                   LONG* result) {
  return Report(control_.CommGetLine(intPortID, intLine, blnState, result));
}
HRESULT ControlObject::CommSetLine(short* intPortID, short* intLine, VARIANT_BOOL* blnState,
                                   LONG* result) {
  return Report(control_.CommSetLine(intPortID, intLine, blnState, result));
}
HRESULT ControlObject::CommGetError(BSTR* strMessage, LONG* result) {
  return Report(control_.CommGetError(strMessage, result));
}
HRESULT ControlObject::settingeval(LONG* p1, BSTR* result) {
  return Report(control_.settingeval(p1, result));
}
HRESULT ControlObject::looprocess() { Hold h(this); return Report(control_.looprocess()); }
HRESULT ControlObject::close_Com_norm() { return Report(control_.close_Com_norm()); }
HRESULT ControlObject::get_Version(BSTR* result) { return Report(control_.get_Version(result)); }

HRESULT ControlObject::Report(HRESULT status) {
  if (SUCCEEDED(status)) return status;
  ComPtr<ICreateErrorInfo> create;
  if (FAILED(::CreateErrorInfo(create.put()))) return status;
  create->SetGUID(IID__SerialControl);
  create->SetSource(const_cast<LPOLESTR>(kFailureSource.name));
  const Bstr description = Bstr::Adopt(kFailureSource.describe(status));
  create->SetDescription(description.get());
  const ComPtr<IErrorInfo> info = create.As<IErrorInfo>(IID_IErrorInfo);
  if (info) ::SetErrorInfo(0, info.get());
  return status;
}

// --- Events and notifications --------------------------------------------------

HRESULT ControlObject::EnumConnectionPoints(IEnumConnectionPoints** out) {
  try {
    return com::EnumeratePoints(static_cast<IConnectionPointContainer*>(this), {&events_, &notify_},
                           out);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT ControlObject::FindConnectionPoint(REFIID riid, IConnectionPoint** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  ConnectionPoint* point = ::IsEqualIID(riid, DIID___SerialControl)    ? &events_
                           : ::IsEqualIID(riid, IID_IPropertyNotifySink) ? &notify_
                                                                         : nullptr;
  if (!point) return CONNECT_E_NOCONNECTION;
  point->AddRef();
  *out = point;
  return S_OK;
}

void ControlObject::RaiseEvent(ControlEvent event, BSTR* text) {
  Hold hold(this);
  std::vector<IUnknown*> sinks;
  try {
    sinks = events_.Snapshot();
  } catch (const std::bad_alloc&) {
    return;  // the event is lost, the control goes on
  }
  VARIANT argument;
  ::VariantInit(&argument);
  argument.vt = VT_BYREF | VT_BSTR;
  argument.pbstrVal = text;
  DISPPARAMS params = {&argument, nullptr, 1, 0};
  // In the order they connected; a sink that fails does not stop the others.
  for (IUnknown* sink : sinks) {
    if (!events_.IsConnected(sink)) continue;
    static_cast<IDispatch*>(sink)->Invoke(static_cast<DISPID>(event), IID_NULL,
                                          LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                                          nullptr, nullptr);
  }
  ConnectionPoint::Release(sinks);
}

HRESULT ControlObject::PropertyChanged(DISPID dispid) {
  OnPropertyChanged();
  Hold hold(this);
  std::vector<IUnknown*> sinks;
  try {
    sinks = notify_.Snapshot();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  for (IUnknown* sink : sinks)
    if (notify_.IsConnected(sink)) static_cast<IPropertyNotifySink*>(sink)->OnChanged(dispid);
  ConnectionPoint::Release(sinks);
  return S_OK;
}

// A control going away listens to nobody: a container that opens it from a
// teardown callback must not run the receive loop inside the destructor.
bool ControlObject::HasEventSinks() { return !released_ && events_.HasSinks(); }

bool ControlObject::DoEvents() {
  Hold hold(this);
  return runtime::DoEvents();
}

// Counted as a running member's hold: a host that lets go during the loop's
// turn for this control makes only this control leave the loop.
void ControlObject::KeepAlive() {
  ++holds_;
  AddRef();
}

void ControlObject::LetGo() {
  --holds_;
  Release();
}

// --- Class information and error information ------------------------------------

HRESULT ControlObject::GetClassInfo(ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = coclass_.copy();
  return S_OK;
}

HRESULT ControlObject::GetGUID(DWORD kind, GUID* guid) {
  if (!guid) return E_POINTER;
  if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
    *guid = GUID_NULL;
    return E_INVALIDARG;
  }
  *guid = DIID___SerialControl;
  return S_OK;
}

HRESULT ControlObject::InterfaceSupportsErrorInfo(REFIID riid) {
  return ::IsEqualIID(riid, IID__SerialControl) ? S_OK : S_FALSE;
}

}  // namespace vemblaric::control_object
