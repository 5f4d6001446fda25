// The control base that containers expect of a control, beyond automation:
// embedding (IOleObject, IOleControl), in-place activation, drawing, and
// persistence through property bags, streams and storages.
//
// The control shows itself only in the container's design mode, as its face
// picture; in run mode it draws nothing and its window stays hidden, as its
// misc-status (invisible at run time) tells containers beforehand.
#include <olectl.h>

#include <cstring>
#include <vector>

#include "server/control_object.h"
#include "server/identifiers.h"
#include "server/module.h"
#include "server/persisted_values.h"

namespace vemblaric::server {
namespace {

constexpr wchar_t kFaceWindowClass[] = L"VemblaricSerialControl";
constexpr wchar_t kFaceResourceName[] = L"FACE";
constexpr wchar_t kFaceResourceType[] = L"JPEG";
// The stream inside a container's storage that holds the values.
constexpr wchar_t kStorageStream[] = L"Contents";

// Both let go of the old pointer only once the slot no longer holds it: the
// release runs the container's code, which may call back into the control.
template <typename T>
void ReleaseAndClear(T*& p) {
  T* old = p;
  p = nullptr;
  if (old) old->Release();
}

template <typename T>
void Assign(T*& slot, T* value) {
  if (value) value->AddRef();
  T* old = slot;
  slot = value;
  if (old) old->Release();
}

HINSTANCE WindowModule() {
  const HMODULE module = ModuleHandle();
  return module ? module : ::GetModuleHandleW(nullptr);
}

// The window class lives while a face window does: a library that is
// unloaded must not leave its window procedure registered behind it. The
// class is the process's, and controls on several threads take and give it
// back, so its count and its registration change together under one lock.
SRWLOCK g_faceClassLock = SRWLOCK_INIT;
LONG g_faceWindows = 0;

// Counts one more face window, registering the class for the first.
bool TakeFaceClass(WNDPROC procedure) {
  ::AcquireSRWLockExclusive(&g_faceClassLock);
  bool ready = g_faceWindows > 0;
  if (!ready) {
    WNDCLASSW cls{};
    cls.style = CS_HREDRAW | CS_VREDRAW;
    cls.lpfnWndProc = procedure;
    cls.hInstance = WindowModule();
    cls.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    cls.lpszClassName = kFaceWindowClass;
    // A class already there (registered by the program the code is linked
    // into, say) serves as well.
    ready = ::RegisterClassW(&cls) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  }
  if (ready) ++g_faceWindows;
  const DWORD error = ::GetLastError();
  ::ReleaseSRWLockExclusive(&g_faceClassLock);
  ::SetLastError(error);
  return ready;
}

// Counts one face window less, unregistering the class after the last.
void GiveFaceClass() {
  ::AcquireSRWLockExclusive(&g_faceClassLock);
  if (--g_faceWindows == 0) ::UnregisterClassW(kFaceWindowClass, WindowModule());
  ::ReleaseSRWLockExclusive(&g_faceClassLock);
}

// The face picture from the module's resources, decoded by the system.
HRESULT LoadFace(IPicture** picture) {
  *picture = nullptr;
  const HMODULE module = ModuleHandle();
  HRSRC found = ::FindResourceW(module, kFaceResourceName, kFaceResourceType);
  if (!found) return HRESULT_FROM_WIN32(::GetLastError());
  const DWORD size = ::SizeofResource(module, found);
  HGLOBAL resource = ::LoadResource(module, found);
  const void* bytes = resource ? ::LockResource(resource) : nullptr;
  if (!bytes || size == 0) return E_FAIL;
  HGLOBAL copy = ::GlobalAlloc(GMEM_MOVEABLE, size);
  if (!copy) return E_OUTOFMEMORY;
  void* target = ::GlobalLock(copy);
  std::memcpy(target, bytes, size);
  ::GlobalUnlock(copy);
  IStream* stream = nullptr;
  HRESULT hr = ::CreateStreamOnHGlobal(copy, TRUE, &stream);
  if (FAILED(hr)) {
    ::GlobalFree(copy);
    return hr;
  }
  hr = ::OleLoadPicture(stream, static_cast<LONG>(size), FALSE, IID_IPicture,
                        reinterpret_cast<void**>(picture));
  stream->Release();
  return hr;
}

// The container's ambient UserMode: false in design mode. A site that cannot
// say is taken to run the control.
bool AmbientUserMode(IOleClientSite* site) {
  if (!site) return true;
  IDispatch* ambient = nullptr;
  if (FAILED(site->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&ambient))) || !ambient)
    return true;
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  VARIANT value;
  ::VariantInit(&value);
  bool userMode = true;
  if (SUCCEEDED(ambient->Invoke(DISPID_AMBIENT_USERMODE, IID_NULL, LOCALE_USER_DEFAULT,
                                DISPATCH_PROPERTYGET, &none, &value, nullptr, nullptr)) &&
      SUCCEEDED(::VariantChangeType(&value, &value, 0, VT_BOOL)))
    userMode = value.boolVal != VARIANT_FALSE;
  ::VariantClear(&value);
  ambient->Release();
  return userMode;
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
  ReleaseAndClear(site_);
  ReleaseAndClear(viewSink_);
  ReleaseAndClear(adviseHolder_);
  ReleaseAndClear(face_);
}

void ControlObject::RefreshUserMode() {
  const bool userMode = AmbientUserMode(site_);
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
  Assign(site_, site);
  RefreshUserMode();
  return S_OK;
}

HRESULT ControlObject::GetClientSite(IOleClientSite** site) {
  if (!site) return E_POINTER;
  *site = site_;
  if (site_) site_->AddRef();
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

HRESULT ControlObject::ActivateInPlace(IOleClientSite* activeSite, LPCRECT position) {
  if (released_) return E_UNEXPECTED;
  if (inPlaceSite_) {
    if (position) SetObjectRects(position, position);
    return S_OK;
  }
  IOleClientSite* site = activeSite ? activeSite : site_;
  if (!site) return E_UNEXPECTED;
  IOleInPlaceSite* inPlace = nullptr;
  HRESULT hr = site->QueryInterface(IID_IOleInPlaceSite, reinterpret_cast<void**>(&inPlace));
  if (FAILED(hr) || !inPlace) return E_NOINTERFACE;
  if (inPlace->CanInPlaceActivate() != S_OK) {
    inPlace->Release();
    return E_FAIL;
  }
  hr = inPlace->OnInPlaceActivate();
  if (FAILED(hr)) {
    inPlace->Release();
    return hr;
  }
  inPlaceSite_ = inPlace;

  HWND parent = nullptr;
  RECT placed{}, clip{};
  IOleInPlaceFrame* frame = nullptr;
  IOleInPlaceUIWindow* document = nullptr;
  OLEINPLACEFRAMEINFO frameInfo{};
  frameInfo.cb = sizeof frameInfo;
  inPlace->GetWindow(&parent);
  if (SUCCEEDED(inPlace->GetWindowContext(&frame, &document, &placed, &clip, &frameInfo))) {
    ReleaseAndClear(frame);
    ReleaseAndClear(document);
  } else if (position) {
    placed = *position;
  }
  if (!TakeFaceClass(&ControlObject::FaceWindowProc)) {
    hr = HRESULT_FROM_WIN32(::GetLastError());
    InPlaceDeactivate();
    return FAILED(hr) ? hr : E_FAIL;
  }
  window_ = ::CreateWindowExW(0, kFaceWindowClass, L"", WS_CHILD | WS_CLIPSIBLINGS, placed.left,
                              placed.top, placed.right - placed.left, placed.bottom - placed.top,
                              parent, nullptr, WindowModule(), this);
  if (!window_) {
    hr = HRESULT_FROM_WIN32(::GetLastError());
    GiveFaceClass();
    InPlaceDeactivate();
    return FAILED(hr) ? hr : E_FAIL;
  }
  if (!userMode_) ::ShowWindow(window_, SW_SHOWNA);
  return S_OK;
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
    const HRESULT hr = ::CreateOleAdviseHolder(&adviseHolder_);
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
  *status = kMiscStatus;
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

// --- IOleWindow, IOleInPlaceObject, IOleInPlaceActiveObject ------------------------

HRESULT ControlObject::GetWindow(HWND* window) {
  if (!window) return E_POINTER;
  *window = window_;
  return window_ ? S_OK : E_FAIL;
}

HRESULT ControlObject::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }

HRESULT ControlObject::InPlaceDeactivate() {
  Hold hold(this);
  if (window_) {
    ::DestroyWindow(window_);
    window_ = nullptr;
    GiveFaceClass();
  }
  if (!inPlaceSite_) return S_OK;
  IOleInPlaceSite* site = inPlaceSite_;
  inPlaceSite_ = nullptr;
  site->OnInPlaceDeactivate();
  site->Release();
  return S_OK;
}

HRESULT ControlObject::UIDeactivate() { return S_OK; }

HRESULT ControlObject::SetObjectRects(LPCRECT position, LPCRECT) {
  if (!position) return E_POINTER;
  if (window_)
    ::MoveWindow(window_, position->left, position->top, position->right - position->left,
                 position->bottom - position->top, TRUE);
  return S_OK;
}

HRESULT ControlObject::ReactivateAndUndo() { return INPLACE_E_NOTUNDOABLE; }

HRESULT ControlObject::TranslateAccelerator(LPMSG) { return S_FALSE; }
HRESULT ControlObject::OnFrameWindowActivate(BOOL) { return S_OK; }
HRESULT ControlObject::OnDocWindowActivate(BOOL) { return S_OK; }
HRESULT ControlObject::ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) { return S_OK; }
HRESULT ControlObject::EnableModeless(BOOL) { return S_OK; }

LRESULT CALLBACK ControlObject::FaceWindowProc(HWND window, UINT message, WPARAM wparam,
                                               LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    ::SetWindowLongPtrW(window, GWLP_USERDATA,
                        reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* object = reinterpret_cast<ControlObject*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (message == WM_PAINT && object) {
    PAINTSTRUCT paint;
    HDC dc = ::BeginPaint(window, &paint);
    RECT client;
    ::GetClientRect(window, &client);
    if (!object->userMode_) object->ShowFace(dc, client);
    ::EndPaint(window, &paint);
    return 0;
  }
  return ::DefWindowProcW(window, message, wparam, lparam);
}

// --- IViewObject2 ------------------------------------------------------------------

void ControlObject::ShowFace(HDC dc, const RECT& bounds) {
  if (!face_ && FAILED(LoadFace(&face_))) return;
  OLE_XSIZE_HIMETRIC width = 0;
  OLE_YSIZE_HIMETRIC height = 0;
  face_->get_Width(&width);
  face_->get_Height(&height);
  // A picture's source rectangle runs bottom-up in HIMETRIC.
  face_->Render(dc, bounds.left, bounds.top, bounds.right - bounds.left,
                bounds.bottom - bounds.top, 0, height, width, -height, nullptr);
}

HRESULT ControlObject::Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC dc,
                            LPCRECTL bounds, LPCRECTL, BOOL(STDMETHODCALLTYPE*)(ULONG_PTR),
                            ULONG_PTR) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (!dc || !bounds) return E_INVALIDARG;
  if (userMode_) return S_OK;  // invisible while the container runs
  const RECT area = {bounds->left, bounds->top, bounds->right, bounds->bottom};
  if (!face_) {
    const HRESULT hr = LoadFace(&face_);
    if (FAILED(hr)) return hr;
  }
  ShowFace(dc, area);
  return S_OK;
}

HRESULT ControlObject::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC,
                                   LOGPALETTE** colors) {
  if (!colors) return E_POINTER;
  *colors = nullptr;
  return S_FALSE;  // no particular palette
}

HRESULT ControlObject::Freeze(DWORD, LONG, void*, DWORD* freeze) {
  if (freeze) *freeze = 0;
  return E_NOTIMPL;
}

HRESULT ControlObject::Unfreeze(DWORD) { return E_NOTIMPL; }

HRESULT ControlObject::SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) {
  if (sink && released_) return E_UNEXPECTED;
  Hold hold(this);
  Assign(viewSink_, sink);
  viewAspects_ = sink ? aspects : 0;
  viewFlags_ = sink ? flags : 0;
  return S_OK;
}

HRESULT ControlObject::GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) {
  if (aspects) *aspects = viewAspects_;
  if (flags) *flags = viewFlags_;
  if (sink) {
    *sink = viewSink_;
    if (viewSink_) viewSink_->AddRef();
  }
  return S_OK;
}

HRESULT ControlObject::GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) {
  return GetExtent(aspect, size);
}

// --- Persistence -------------------------------------------------------------------

HRESULT ControlObject::GetClassID(CLSID* clsid) {
  if (!clsid) return E_POINTER;
  *clsid = CLSID_SerialControl;
  return S_OK;
}

HRESULT ControlObject::IsDirty() { return dirty_ ? S_OK : S_FALSE; }

HRESULT ControlObject::InitNew() {
  const HRESULT hr = control_.InitProperties();
  if (SUCCEEDED(hr)) dirty_ = false;
  return hr;
}

HRESULT ControlObject::Load(IPropertyBag* bag, IErrorLog*) {
  if (!bag) return E_POINTER;
  Hold hold(this);
  const HRESULT hr = control_.ReadProperties(bag);
  if (SUCCEEDED(hr)) dirty_ = false;
  return hr;
}

HRESULT ControlObject::Save(IPropertyBag* bag, BOOL clearDirty, BOOL) {
  if (!bag) return E_POINTER;
  Hold hold(this);
  const HRESULT hr = control_.WriteProperties(bag);
  if (SUCCEEDED(hr) && clearDirty) dirty_ = false;
  return hr;
}

HRESULT ControlObject::Load(LPSTREAM stream) {
  if (!stream) return E_POINTER;
  Hold hold(this);
  ValueBag incoming;
  HRESULT hr = incoming.ReadFrom(stream);
  if (FAILED(hr)) return hr;
  // A value the control cannot take would leave it half restored; the values
  // it had go back in that case.
  ValueBag before;
  hr = control_.WriteProperties(&before);
  if (FAILED(hr)) return hr;
  hr = control_.ReadProperties(&incoming);
  if (FAILED(hr)) {
    control_.ReadProperties(&before);
    return hr;
  }
  dirty_ = false;
  return S_OK;
}

HRESULT ControlObject::Save(LPSTREAM stream, BOOL clearDirty) {
  if (!stream) return E_POINTER;
  Hold hold(this);
  ValueBag values;
  HRESULT hr = control_.WriteProperties(&values);
  std::vector<BYTE> bytes;
  if (SUCCEEDED(hr)) hr = values.Encode(bytes);
  if (FAILED(hr)) return hr;
  ULONG written = 0;
  hr = stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
  if (FAILED(hr)) return hr;
  if (written != bytes.size()) return STG_E_MEDIUMFULL;
  if (clearDirty) dirty_ = false;
  return S_OK;
}

HRESULT ControlObject::GetSizeMax(ULARGE_INTEGER* size) {
  if (!size) return E_POINTER;
  ValueBag values;
  HRESULT hr = control_.WriteProperties(&values);
  std::vector<BYTE> bytes;
  if (SUCCEEDED(hr)) hr = values.Encode(bytes);
  if (FAILED(hr)) return hr;
  size->QuadPart = bytes.size();
  return S_OK;
}

HRESULT ControlObject::InitNew(IStorage* storage) {
  if (!storage) return E_POINTER;
  return InitNew();
}

HRESULT ControlObject::Load(IStorage* storage) {
  if (!storage) return E_POINTER;
  Hold hold(this);
  IStream* stream = nullptr;
  HRESULT hr = storage->OpenStream(kStorageStream, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0,
                                   &stream);
  if (FAILED(hr)) return hr;
  hr = Load(stream);
  stream->Release();
  return hr;
}

// A storage save leaves the dirty flag to SaveCompleted: a save into another
// storage than the one loaded from (a copy) leaves the control dirty, unless
// the container then hands that storage over as the control's own.
HRESULT ControlObject::Save(IStorage* storage, BOOL sameAsLoad) {
  if (!storage) return E_POINTER;
  Hold hold(this);
  savePending_ = false;
  IStream* stream = nullptr;
  HRESULT hr = storage->CreateStream(
      kStorageStream, STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE, 0, 0, &stream);
  if (FAILED(hr)) return hr;
  hr = Save(stream, FALSE);
  stream->Release();
  if (SUCCEEDED(hr)) {
    savePending_ = true;
    saveSameAsLoad_ = sameAsLoad != FALSE;
  }
  return hr;
}

HRESULT ControlObject::SaveCompleted(IStorage* storage) {
  if (savePending_ && (storage || saveSameAsLoad_)) dirty_ = false;
  savePending_ = false;
  return S_OK;
}
HRESULT ControlObject::HandsOffStorage() { return S_OK; }

}  // namespace vemblaric::server
