// In-place activation, the face window and drawing: the control's view in
// a container.
#include <olectl.h>

#include <cstring>
#include <utility>

#include "com/module.h"
#include "com/owners.h"
#include "control_object/control_object.h"

namespace vemblaric::control_object {
namespace {

constexpr wchar_t kFaceWindowClass[] = L"VemblaricSerialControl";
constexpr wchar_t kFaceResourceName[] = L"FACE";
constexpr wchar_t kFaceResourceType[] = L"JPEG";

HINSTANCE WindowModule() {
  const HMODULE module = com::ModuleHandle();
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
  const HMODULE module = com::ModuleHandle();
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
  ScopeGuard freeCopy([copy] { ::GlobalFree(copy); });  // until a stream owns it
  ComPtr<IStream> stream;
  const HRESULT hr = ::CreateStreamOnHGlobal(copy, TRUE, stream.put());
  if (FAILED(hr)) return hr;
  freeCopy.dismiss();
  return ::OleLoadPicture(stream.get(), static_cast<LONG>(size), FALSE, IID_IPicture,
                          reinterpret_cast<void**>(picture));
}

}  // namespace

HRESULT ControlObject::ActivateInPlace(IOleClientSite* activeSite, LPCRECT position) {
  if (released_) return E_UNEXPECTED;
  if (inPlaceSite_) {
    if (position) SetObjectRects(position, position);
    return S_OK;
  }
  IOleClientSite* site = activeSite ? activeSite : site_.get();
  if (!site) return E_UNEXPECTED;
  ComPtr<IOleInPlaceSite> inPlace;
  HRESULT hr = site->QueryInterface(IID_IOleInPlaceSite, inPlace.put_void());
  if (FAILED(hr) || !inPlace) return E_NOINTERFACE;
  if (inPlace->CanInPlaceActivate() != S_OK) return E_FAIL;
  hr = inPlace->OnInPlaceActivate();
  if (FAILED(hr)) return hr;
  inPlaceSite_ = std::move(inPlace);

  HWND parent = nullptr;
  RECT placed{}, clip{};
  ComPtr<IOleInPlaceFrame> frame;
  ComPtr<IOleInPlaceUIWindow> document;
  OLEINPLACEFRAMEINFO frameInfo{};
  frameInfo.cb = sizeof frameInfo;
  inPlaceSite_->GetWindow(&parent);
  if (SUCCEEDED(inPlaceSite_->GetWindowContext(frame.put(), document.put(), &placed, &clip,
                                                &frameInfo))) {
    frame.reset();
    document.reset();
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
  const ComPtr<IOleInPlaceSite> site = std::move(inPlaceSite_);
  site->OnInPlaceDeactivate();
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
  if (!face_ && FAILED(LoadFace(face_.put()))) return;
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
    const HRESULT hr = LoadFace(face_.put());
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
  viewSink_.assign(sink);
  viewAspects_ = sink ? aspects : 0;
  viewFlags_ = sink ? flags : 0;
  return S_OK;
}

HRESULT ControlObject::GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) {
  if (aspects) *aspects = viewAspects_;
  if (flags) *flags = viewFlags_;
  if (sink) {
    *sink = viewSink_.copy();
  }
  return S_OK;
}

HRESULT ControlObject::GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) {
  return GetExtent(aspect, size);
}

}  // namespace vemblaric::control_object
