// The COM object of the control: one object holding all its interfaces, the
// control of control/ inside it, and the host seam bound to its connection
// points and the thread's message pump.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include "Vemblaric.h"
#include "control/host_site.h"
#include "control/serial_control.h"
#include "server/connection_point.h"

namespace vemblaric::server {

class ControlObject final : public _SerialControl,
                            public IConnectionPointContainer,
                            public IProvideClassInfo2,
                            public ISupportErrorInfo,
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

  // For tests and the control base: the control inside.
  SerialControl& control() { return control_; }

 private:
  ControlObject(ITypeLib* library, ITypeInfo* dual, ITypeInfo* vtable, ITypeInfo* coclass);
  ~ControlObject();
  ControlObject(const ControlObject&) = delete;
  ControlObject& operator=(const ControlObject&) = delete;

  // HostSite
  void RaiseEvent(ControlEvent event, BSTR* text) override;
  HRESULT PropertyChanged(DISPID dispid) override;
  bool HasEventSinks() override;
  bool DoEvents() override;

  class Hold;

  // Sets the thread's error object for a failed member, so hosts that bind
  // through the function table learn what failed.
  HRESULT Report(HRESULT status);

  // The control base that containers expect (in control_base.cpp): its
  // interfaces, and what a setter's notice means to it.
  HRESULT QueryControlBase(REFIID riid, void** ppv);
  void OnPropertyChanged();

  LONG refs_ = 1;
  LONG holds_ = 0;  // references held by running members, not by the host
  ITypeLib* library_;
  ITypeInfo* dual_;    // the dispatch view: names and member identifiers
  ITypeInfo* vtable_;  // the function-table view: places and true signatures
  ITypeInfo* coclass_;
  ConnectionPoint events_;
  ConnectionPoint notify_;
  SerialControl control_;
};

}  // namespace vemblaric::server
