// The COM object of the control: one object holding all its interfaces, the
// control of control/ inside it, and the host seam bound to its connection
// points and the thread's message pump.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include "Vemblaric.h"
#include "com/connection_point.h"
#include "com/owners.h"
#include "control/host_site.h"
#include "control/serial_control.h"

namespace vemblaric::control_object {

using com::ConnectionPoint;

class ControlObject final : public _SerialControl,
                            public IConnectionPointContainer,
                            public IProvideClassInfo2,
                            public ISupportErrorInfo,
                            public IOleObject,
                            public IOleControl,
                            public IOleInPlaceObject,
                            public IOleInPlaceActiveObject,
                            public IViewObject2,
                            public IPersistPropertyBag,
                            public IPersistStreamInit,
                            public IPersistStorage,
                            private HostSite {
 public:
  // Makes a new control and hands out `riid` on it.
  static HRESULT Create(REFIID riid, void** ppv);

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID riid, LCID lcid, WORD flags,
                                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                   UINT* argumentError) override;

  // _SerialControl, in its function-table order.
  HRESULT STDMETHODCALLTYPE Open_Com() override;
  HRESULT STDMETHODCALLTYPE Close_Com() override;
  HRESULT STDMETHODCALLTYPE Read_Com() override;
  HRESULT STDMETHODCALLTYPE Write_Com(BSTR Datastr) override;
  HRESULT STDMETHODCALLTYPE get_Port(short* result) override;
  HRESULT STDMETHODCALLTYPE put_Port(short value) override;
  HRESULT STDMETHODCALLTYPE get_Baud(LONG* result) override;
  HRESULT STDMETHODCALLTYPE put_Baud(LONG value) override;
  HRESULT STDMETHODCALLTYPE get_Status(VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE put_Status(VARIANT_BOOL value) override;
  HRESULT STDMETHODCALLTYPE Clear_Com() override;
  HRESULT STDMETHODCALLTYPE get_Buffer(BSTR* result) override;
  HRESULT STDMETHODCALLTYPE put_Buffer(BSTR value) override;
  HRESULT STDMETHODCALLTYPE get_Company(BSTR* result) override;
  HRESULT STDMETHODCALLTYPE ControlOn() override;
  HRESULT STDMETHODCALLTYPE ControlOff() override;
  HRESULT STDMETHODCALLTYPE waitnow(LONG* valu1) override;
  HRESULT STDMETHODCALLTYPE GetSystemMessage(LONG* lngErrorCode, BSTR* result) override;
  HRESULT STDMETHODCALLTYPE CommOpen(short* intPortID, BSTR* strPort, BSTR* strSettings,
                                     LONG* result) override;
  HRESULT STDMETHODCALLTYPE CommSet(short* intPortID, BSTR* strSettings, LONG* result) override;
  HRESULT STDMETHODCALLTYPE CommClose(short* intPortID, LONG* result) override;
  HRESULT STDMETHODCALLTYPE CommFlush(short* intPortID, LONG* result) override;
  HRESULT STDMETHODCALLTYPE CommRead(short* intPortID, BSTR* strData, LONG* lngSize,
                                     LONG* result) override;
  HRESULT STDMETHODCALLTYPE CommWrite(short* intPortID, BSTR* strData, LONG* result) override;
  HRESULT STDMETHODCALLTYPE CommGetLine(short* intPortID, short* intLine, VARIANT_BOOL* blnState,
                                        LONG* result) override;
  HRESULT STDMETHODCALLTYPE CommSetLine(short* intPortID, short* intLine, VARIANT_BOOL* blnState,
                                        LONG* result) override;
  HRESULT STDMETHODCALLTYPE CommGetError(BSTR* strMessage, LONG* result) override;
  HRESULT STDMETHODCALLTYPE settingeval(LONG* p1, BSTR* result) override;
  HRESULT STDMETHODCALLTYPE looprocess() override;
  HRESULT STDMETHODCALLTYPE close_Com_norm() override;
  HRESULT STDMETHODCALLTYPE get_Version(BSTR* result) override;

  // IConnectionPointContainer
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override;
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** out) override;

  // IProvideClassInfo2
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetGUID(DWORD kind, GUID* guid) override;

  // ISupportErrorInfo
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

  // --- The control base: embedding.cpp, view.cpp, persistence_protocols.cpp ---

  // IOleObject
  HRESULT STDMETHODCALLTYPE SetClientSite(IOleClientSite* site) override;
  HRESULT STDMETHODCALLTYPE GetClientSite(IOleClientSite** site) override;
  HRESULT STDMETHODCALLTYPE SetHostNames(LPCOLESTR app, LPCOLESTR object) override;
  HRESULT STDMETHODCALLTYPE Close(DWORD saveOption) override;
  HRESULT STDMETHODCALLTYPE SetMoniker(DWORD which, IMoniker* moniker) override;
  HRESULT STDMETHODCALLTYPE GetMoniker(DWORD assign, DWORD which, IMoniker** moniker) override;
  HRESULT STDMETHODCALLTYPE InitFromData(IDataObject* data, BOOL creation, DWORD reserved) override;
  HRESULT STDMETHODCALLTYPE GetClipboardData(DWORD reserved, IDataObject** data) override;
  HRESULT STDMETHODCALLTYPE DoVerb(LONG verb, LPMSG msg, IOleClientSite* activeSite, LONG lindex,
                                   HWND parent, LPCRECT position) override;
  HRESULT STDMETHODCALLTYPE EnumVerbs(IEnumOLEVERB** verbs) override;
  HRESULT STDMETHODCALLTYPE Update() override;
  HRESULT STDMETHODCALLTYPE IsUpToDate() override;
  HRESULT STDMETHODCALLTYPE GetUserClassID(CLSID* clsid) override;
  HRESULT STDMETHODCALLTYPE GetUserType(DWORD form, LPOLESTR* name) override;
  HRESULT STDMETHODCALLTYPE SetExtent(DWORD aspect, SIZEL* size) override;
  HRESULT STDMETHODCALLTYPE GetExtent(DWORD aspect, SIZEL* size) override;
  HRESULT STDMETHODCALLTYPE Advise(IAdviseSink* sink, DWORD* connection) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD connection) override;
  HRESULT STDMETHODCALLTYPE EnumAdvise(IEnumSTATDATA** advises) override;
  HRESULT STDMETHODCALLTYPE GetMiscStatus(DWORD aspect, DWORD* status) override;
  HRESULT STDMETHODCALLTYPE SetColorScheme(LOGPALETTE* palette) override;

  // IOleControl
  HRESULT STDMETHODCALLTYPE GetControlInfo(CONTROLINFO* info) override;
  HRESULT STDMETHODCALLTYPE OnMnemonic(MSG* msg) override;
  HRESULT STDMETHODCALLTYPE OnAmbientPropertyChange(DISPID dispid) override;
  HRESULT STDMETHODCALLTYPE FreezeEvents(BOOL freeze) override;

  // IOleWindow, for both in-place interfaces
  HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) override;
  HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL enterMode) override;

  // IOleInPlaceObject
  HRESULT STDMETHODCALLTYPE InPlaceDeactivate() override;
  HRESULT STDMETHODCALLTYPE UIDeactivate() override;
  HRESULT STDMETHODCALLTYPE SetObjectRects(LPCRECT position, LPCRECT clip) override;
  HRESULT STDMETHODCALLTYPE ReactivateAndUndo() override;

  // IOleInPlaceActiveObject
  HRESULT STDMETHODCALLTYPE TranslateAccelerator(LPMSG msg) override;
  HRESULT STDMETHODCALLTYPE OnFrameWindowActivate(BOOL activate) override;
  HRESULT STDMETHODCALLTYPE OnDocWindowActivate(BOOL activate) override;
  HRESULT STDMETHODCALLTYPE ResizeBorder(LPCRECT border, IOleInPlaceUIWindow* window,
                                         BOOL frameWindow) override;
  HRESULT STDMETHODCALLTYPE EnableModeless(BOOL enable) override;

  // IViewObject2
  HRESULT STDMETHODCALLTYPE Draw(DWORD aspect, LONG lindex, void* aspectInfo, DVTARGETDEVICE* target,
                                 HDC targetDevice, HDC dc, LPCRECTL bounds, LPCRECTL metafileBounds,
                                 BOOL(STDMETHODCALLTYPE* keepGoing)(ULONG_PTR),
                                 ULONG_PTR keepGoingArgument) override;
  HRESULT STDMETHODCALLTYPE GetColorSet(DWORD aspect, LONG lindex, void* aspectInfo,
                                        DVTARGETDEVICE* target, HDC targetDevice,
                                        LOGPALETTE** colors) override;
  HRESULT STDMETHODCALLTYPE Freeze(DWORD aspect, LONG lindex, void* aspectInfo,
                                   DWORD* freeze) override;
  HRESULT STDMETHODCALLTYPE Unfreeze(DWORD freeze) override;
  HRESULT STDMETHODCALLTYPE SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) override;
  HRESULT STDMETHODCALLTYPE GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) override;
  HRESULT STDMETHODCALLTYPE GetExtent(DWORD aspect, LONG lindex, DVTARGETDEVICE* target,
                                      LPSIZEL size) override;

  // IPersist, IPersistPropertyBag, IPersistStreamInit, IPersistStorage
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override;
  HRESULT STDMETHODCALLTYPE IsDirty() override;
  HRESULT STDMETHODCALLTYPE InitNew() override;
  HRESULT STDMETHODCALLTYPE Load(IPropertyBag* bag, IErrorLog* log) override;
  HRESULT STDMETHODCALLTYPE Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) override;
  HRESULT STDMETHODCALLTYPE Load(LPSTREAM stream) override;
  HRESULT STDMETHODCALLTYPE Save(LPSTREAM stream, BOOL clearDirty) override;
  HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER* size) override;
  HRESULT STDMETHODCALLTYPE InitNew(IStorage* storage) override;
  HRESULT STDMETHODCALLTYPE Load(IStorage* storage) override;
  HRESULT STDMETHODCALLTYPE Save(IStorage* storage, BOOL sameAsLoad) override;
  HRESULT STDMETHODCALLTYPE SaveCompleted(IStorage* storage) override;
  HRESULT STDMETHODCALLTYPE HandsOffStorage() override;

  // For tests and the control base: the control inside.
  SerialControl& control() { return control_; }

 private:
  ControlObject(ComPtr<ITypeInfo> dual, ComPtr<ITypeInfo> vtable, ComPtr<ITypeInfo> coclass);
  ~ControlObject();
  ControlObject(const ControlObject&) = delete;
  ControlObject& operator=(const ControlObject&) = delete;

  // HostSite
  void RaiseEvent(ControlEvent event, BSTR* text) override;
  HRESULT PropertyChanged(DISPID dispid) override;
  bool HasEventSinks() override;
  bool DoEvents() override;
  void KeepAlive() override;
  void LetGo() override;

  class Hold;

  // Counts the object among the library's live objects from before its first
  // member is made until after its last one is gone: the library may be
  // unloaded only once no code of the object can run any more.
  class Counted {
   public:
    Counted();
    ~Counted();
    Counted(const Counted&) = delete;
    Counted& operator=(const Counted&) = delete;
  };

  // Lets go of everything outside the object while all of it still works:
  // the container, its sinks and the type descriptions. What those call back
  // into finds a whole object; what they try to connect anew is refused.
  void LetGoOfOutside();

  // Sets the thread's error object for a failed member, so hosts that bind
  // through the function table learn what failed.
  HRESULT Report(HRESULT status);

  // The control base that containers expect (in embedding.cpp): its
  // interfaces, and what a setter's notice means to it.
  HRESULT QueryControlBase(REFIID riid, void** ppv);
  void OnPropertyChanged();
  // Lets go of the container's site and everything the control base holds.
  void ReleaseControlBase();
  void RefreshUserMode();
  HRESULT ActivateInPlace(IOleClientSite* activeSite, LPCRECT position);
  void ShowFace(HDC dc, const RECT& bounds);
  static LRESULT CALLBACK FaceWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  Counted counted_;  // first, so it goes last
  LONG refs_ = 1;
  LONG holds_ = 0;          // references held by running members, not by the host
  bool released_ = false;  // the last reference is gone: the object is going away
  // From the module's one loaded type library (com/type_library.h).
  ComPtr<ITypeInfo> dual_;    // the dispatch view: names and member identifiers
  ComPtr<ITypeInfo> vtable_;  // the function-table view: places and true signatures
  ComPtr<ITypeInfo> coclass_;
  ConnectionPoint events_;
  ConnectionPoint notify_;
  SerialControl control_;

  // The control base's state.
  ComPtr<IOleClientSite> site_;
  ComPtr<IOleInPlaceSite> inPlaceSite_;  // while in-place active
  ComPtr<IOleAdviseHolder> adviseHolder_;
  ComPtr<IAdviseSink> viewSink_;
  DWORD viewAspects_ = 0;
  DWORD viewFlags_ = 0;
  ComPtr<IPicture> face_;     // loaded on first design-mode draw
  HWND window_ = nullptr;     // while in-place active; shown only in design mode
  SIZEL extent_{1270, 1270};  // HIMETRIC: the face's 48 pixels at 96 per inch
  bool userMode_ = true;  // run mode unless the site says otherwise
  bool dirty_ = false;
  // A storage save waits for SaveCompleted to count: whether it was into the
  // storage the values came from, and that nothing changed since.
  bool savePending_ = false;
  bool saveSameAsLoad_ = false;
};

// Keeps the object alive while a member runs host code: a handler that drops
// the host's last reference must not destroy the control under its own feet.
class ControlObject::Hold {
 public:
  explicit Hold(ControlObject* object) : object_(object) {
    ++object_->holds_;
    object_->AddRef();
  }
  ~Hold() {
    --object_->holds_;
    object_->Release();
  }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

 private:
  ControlObject* object_;
};

// Makes a new control, as its class object does.
inline HRESULT CreateSerialControl(REFIID riid, void** ppv) {
  return ControlObject::Create(riid, ppv);
}

}  // namespace vemblaric::control_object
