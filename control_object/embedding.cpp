// The control base that containers expect of a control, beyond automation:
// its interfaces, and embedding (IOleObject, IOleControl). In-place
// activation and drawing are in view.cpp, persistence in
// persistence_protocols.cpp.
//
// The control shows itself only in the container's design mode, as its face
// picture; in run mode it draws nothing and its window stays hidden, as its
// misc-status (invisible at run time) tells containers beforehand.
#include <olectl.h>

#include "com/owners.h"
#include "control_object/control_object.h"
#include "control_object/identifiers.h"

namespace vemblaric::control_object {
namespace {

// The container's ambient UserMode: false in design mode. A site that cannot
// say is taken to run the control.
bool AmbientUserMode(IOleClientSite* site) {
  if (!site) return true;
  ComPtr<IDispatch> ambient;
  if (FAILED(site->QueryInterface(IID_IDispatch, ambient.put_void())) || !ambient) return true;
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  Variant value;
  if (SUCCEEDED(ambient->Invoke(DISPID_AMBIENT_USERMODE, IID_NULL, LOCALE_USER_DEFAULT,
                                DISPATCH_PROPERTYGET, &none, value.get(), nullptr, nullptr)) &&
      SUCCEEDED(::VariantChangeType(value.get(), value.get(), 0, VT_BOOL)))
    return value->boolVal != VARIANT_FALSE;
  return true;
}

}  // namespace

HRESULT ControlObject::QueryControlBase(REFIID riid, void** ppv) {
  *ppv = nullptr;
  if (::IsEqualIID(riid, IID_IOleObject))
    *ppv = static_cast<IOleObject*>(this);
  else if (::IsEqualIID(riid, IID_IOleControl))
    *ppv = static_cast<IOleControl*>(this);
  else if (::IsEqualIID(riid, IID_IOleWindow) || ::IsEqualIID(riid, IID_IOleInPlaceObject))
    *ppv = static_cast<IOleInPlaceObject*>(this);
  else if (::IsEqualIID(riid, IID_IOleInPlaceActiveObject))
    *ppv = static_cast<IOleInPlaceActiveObject*>(this);
  else if (::IsEqualIID(riid, IID_IViewObject) || ::IsEqualIID(riid, IID_IViewObject2))
    *ppv = static_cast<IViewObject2*>(this);
  else if (::IsEqualIID(riid, IID_IPersistPropertyBag))
    *ppv = static_cast<IPersistPropertyBag*>(this);
  else if (::IsEqualIID(riid, IID_IPersist) || ::IsEqualIID(riid, IID_IPersistStreamInit))
    *ppv = static_cast<IPersistStreamInit*>(this);
  else if (::IsEqualIID(riid, IID_IPersistStorage))
    *ppv = static_cast<IPersistStorage*>(this);
  else
    return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

void ControlObject::OnPropertyChanged() {
  dirty_ = true;
  savePending_ = false;  // a save made before the change no longer holds it
}

void ControlObject::ReleaseControlBase() {
  InPlaceDeactivate();
  site_.reset();
  viewSink_.reset();
  adviseHolder_.reset();
  face_.reset();
}

void ControlObject::RefreshUserMode() {
  const bool userMode = AmbientUserMode(site_.get());
  if (userMode == userMode_) return;
  userMode_ = userMode;
  if (window_) ::ShowWindow(window_, userMode_ ? SW_HIDE : SW_SHOWNA);
  if (viewSink_) viewSink_->OnViewChange(DVASPECT_CONTENT, -1);
}

// --- IOleObject ------------------------------------------------------------------

HRESULT ControlObject::SetClientSite(IOleClientSite* site) {
  Hold hold(this);  // the container's code runs below and may let go of the control
  if (site && released_) return E_UNEXPECTED;
  if (!site) {
    // The container lets go: the control leaves the thread's receive loop,
    // or the container's shutdown waits on a control it no longer knows.
    control_.StopLoop();
    InPlaceDeactivate();
  }
  site_.assign(site);
  RefreshUserMode();
  return S_OK;
}

HRESULT ControlObject::GetClientSite(IOleClientSite** site) {
  if (!site) return E_POINTER;
  *site = site_.copy();
  return S_OK;
}

HRESULT ControlObject::SetHostNames(LPCOLESTR, LPCOLESTR) { return S_OK; }

HRESULT ControlObject::Close(DWORD saveOption) {
  Hold hold(this);
  control_.StopLoop();
  if (dirty_ && site_ && (saveOption == OLECLOSE_SAVEIFDIRTY || saveOption == OLECLOSE_PROMPTSAVE))
    site_->SaveObject();  // a container that cannot save keeps what it has
  InPlaceDeactivate();
  if (adviseHolder_) adviseHolder_->SendOnClose();
  return S_OK;
}

HRESULT ControlObject::SetMoniker(DWORD, IMoniker*) { return E_NOTIMPL; }

HRESULT ControlObject::GetMoniker(DWORD, DWORD, IMoniker** moniker) {
  if (moniker) *moniker = nullptr;
  return E_NOTIMPL;
}

HRESULT ControlObject::InitFromData(IDataObject*, BOOL, DWORD) { return E_NOTIMPL; }

HRESULT ControlObject::GetClipboardData(DWORD, IDataObject** data) {
  if (data) *data = nullptr;
  return E_NOTIMPL;
}

HRESULT ControlObject::DoVerb(LONG verb, LPMSG, IOleClientSite* activeSite, LONG, HWND,
                              LPCRECT position) {
  Hold hold(this);
  switch (verb) {
    case OLEIVERB_PRIMARY:
    case OLEIVERB_SHOW:
    case OLEIVERB_INPLACEACTIVATE:
    case OLEIVERB_UIACTIVATE:
      // The control takes no keyboard and has no user interface of its own:
      // UI activation is in-place activation.
      return ActivateInPlace(activeSite, position);
    case OLEIVERB_HIDE:
      if (window_) ::ShowWindow(window_, SW_HIDE);
      return S_OK;
    case OLEIVERB_OPEN:
    case OLEIVERB_DISCARDUNDOSTATE:
      return E_NOTIMPL;
    default:
      return verb > 0 ? OLEOBJ_S_INVALIDVERB : E_NOTIMPL;
  }
}


HRESULT ControlObject::EnumVerbs(IEnumOLEVERB** verbs) {
  if (!verbs) return E_POINTER;
  return ::OleRegEnumVerbs(CLSID_SerialControl, verbs);
}

HRESULT ControlObject::Update() { return S_OK; }
HRESULT ControlObject::IsUpToDate() { return S_OK; }

HRESULT ControlObject::GetUserClassID(CLSID* clsid) {
  if (!clsid) return E_POINTER;
  *clsid = CLSID_SerialControl;
  return S_OK;
}

HRESULT ControlObject::GetUserType(DWORD form, LPOLESTR* name) {
  if (!name) return E_POINTER;
  return ::OleRegGetUserType(CLSID_SerialControl, form, name);
}

HRESULT ControlObject::SetExtent(DWORD aspect, SIZEL* size) {
  if (!size) return E_POINTER;
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  extent_ = *size;
  return S_OK;
}

HRESULT ControlObject::GetExtent(DWORD aspect, SIZEL* size) {
  if (!size) return E_POINTER;
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  *size = extent_;
  return S_OK;
}

HRESULT ControlObject::Advise(IAdviseSink* sink, DWORD* connection) {
  if (!sink || !connection) return E_POINTER;
  if (released_) return E_UNEXPECTED;
  Hold hold(this);
  if (!adviseHolder_) {
    const HRESULT hr = ::CreateOleAdviseHolder(adviseHolder_.put());
    if (FAILED(hr)) return hr;
  }
  return adviseHolder_->Advise(sink, connection);
}

HRESULT ControlObject::Unadvise(DWORD connection) {
  if (!adviseHolder_) return OLE_E_NOCONNECTION;
  Hold hold(this);  // the sink's last release may be the container's last, too
  return adviseHolder_->Unadvise(connection);
}

HRESULT ControlObject::EnumAdvise(IEnumSTATDATA** advises) {
  if (!advises) return E_POINTER;
  *advises = nullptr;
  if (!adviseHolder_) return S_OK;
  return adviseHolder_->EnumAdvise(advises);
}

HRESULT ControlObject::GetMiscStatus(DWORD, DWORD* status) {
  if (!status) return E_POINTER;
  *status = kSerialControlClass.miscStatus;
  return S_OK;
}

HRESULT ControlObject::SetColorScheme(LOGPALETTE*) { return E_NOTIMPL; }

// --- IOleControl -----------------------------------------------------------------

HRESULT ControlObject::GetControlInfo(CONTROLINFO* info) {
  if (!info) return E_POINTER;
  // No mnemonics: the control never takes the keyboard.
  info->cb = sizeof *info;
  info->hAccel = nullptr;
  info->cAccel = 0;
  info->dwFlags = 0;
  return S_OK;
}

HRESULT ControlObject::OnMnemonic(MSG*) { return E_NOTIMPL; }

HRESULT ControlObject::OnAmbientPropertyChange(DISPID dispid) {
  Hold hold(this);
  if (dispid == DISPID_AMBIENT_USERMODE || dispid == DISPID_UNKNOWN) RefreshUserMode();
  return S_OK;
}

HRESULT ControlObject::FreezeEvents(BOOL) { return S_OK; }

}  // namespace vemblaric::control_object
