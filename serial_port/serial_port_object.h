// The COM object of SerialPort: one object holding its interfaces, its
// settings, the bytes taken from the device but not yet handed out, and a
// message-only window through which the watcher's notices become events on
// the object's thread.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <memory>
#include <string>

#include "SerialPort.h"
#include "com/connection_point.h"
#include "com/owners.h"
#include "port/kernel32.h"
#include "serial_port/line_settings.h"
#include "serial_port/port_device.h"

namespace vemblaric::serial_port {

class SerialPortObject final : public ISerialPort,
                               public IConnectionPointContainer,
                               public IProvideClassInfo2,
                               public ISupportErrorInfo {
 public:
  // Makes a new port object on the calling thread and hands out `riid`.
  static HRESULT Create(REFIID riid, void** ppv);
  // The same with another kernel32 (tests).
  static HRESULT CreateWith(const Kernel32& k, REFIID riid, void** ppv);

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

  // ISerialPort, in its function-table order.
  HRESULT STDMETHODCALLTYPE get_PortName(BSTR* result) override;
  HRESULT STDMETHODCALLTYPE put_PortName(BSTR value) override;
  HRESULT STDMETHODCALLTYPE get_BaudRate(LONG* result) override;
  HRESULT STDMETHODCALLTYPE put_BaudRate(LONG value) override;
  HRESULT STDMETHODCALLTYPE get_DataBits(LONG* result) override;
  HRESULT STDMETHODCALLTYPE put_DataBits(LONG value) override;
  HRESULT STDMETHODCALLTYPE get_Parity(SerialParity* result) override;
  HRESULT STDMETHODCALLTYPE put_Parity(SerialParity value) override;
  HRESULT STDMETHODCALLTYPE get_StopBits(SerialStopBits* result) override;
  HRESULT STDMETHODCALLTYPE put_StopBits(SerialStopBits value) override;
  HRESULT STDMETHODCALLTYPE get_Handshake(SerialHandshake* result) override;
  HRESULT STDMETHODCALLTYPE put_Handshake(SerialHandshake value) override;
  HRESULT STDMETHODCALLTYPE get_DtrEnable(VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE put_DtrEnable(VARIANT_BOOL value) override;
  HRESULT STDMETHODCALLTYPE get_RtsEnable(VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE put_RtsEnable(VARIANT_BOOL value) override;
  HRESULT STDMETHODCALLTYPE get_ReadTimeout(LONG* result) override;
  HRESULT STDMETHODCALLTYPE put_ReadTimeout(LONG value) override;
  HRESULT STDMETHODCALLTYPE get_WriteTimeout(LONG* result) override;
  HRESULT STDMETHODCALLTYPE put_WriteTimeout(LONG value) override;
  HRESULT STDMETHODCALLTYPE get_NewLine(BSTR* result) override;
  HRESULT STDMETHODCALLTYPE put_NewLine(BSTR value) override;
  HRESULT STDMETHODCALLTYPE get_CodePage(LONG* result) override;
  HRESULT STDMETHODCALLTYPE put_CodePage(LONG value) override;
  HRESULT STDMETHODCALLTYPE get_ReceivedBytesThreshold(LONG* result) override;
  HRESULT STDMETHODCALLTYPE put_ReceivedBytesThreshold(LONG value) override;
  HRESULT STDMETHODCALLTYPE get_IsOpen(VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE get_BytesToRead(LONG* result) override;
  HRESULT STDMETHODCALLTYPE get_BytesToWrite(LONG* result) override;
  HRESULT STDMETHODCALLTYPE get_CtsHolding(VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE get_DsrHolding(VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE get_CDHolding(VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE get_RingIndicator(VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE get_BreakState(VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE put_BreakState(VARIANT_BOOL value) override;
  HRESULT STDMETHODCALLTYPE Open() override;
  HRESULT STDMETHODCALLTYPE Close() override;
  HRESULT STDMETHODCALLTYPE Write(BSTR text) override;
  HRESULT STDMETHODCALLTYPE WriteLine(BSTR text) override;
  HRESULT STDMETHODCALLTYPE WriteBytes(VARIANT data) override;
  HRESULT STDMETHODCALLTYPE ReadExisting(BSTR* result) override;
  HRESULT STDMETHODCALLTYPE ReadLine(BSTR* result) override;
  HRESULT STDMETHODCALLTYPE ReadTo(BSTR terminator, BSTR* result) override;
  HRESULT STDMETHODCALLTYPE ReadBytes(LONG count, VARIANT* result) override;
  HRESULT STDMETHODCALLTYPE DiscardInBuffer() override;
  HRESULT STDMETHODCALLTYPE DiscardOutBuffer() override;
  HRESULT STDMETHODCALLTYPE GetPortNames(VARIANT* result) override;
  HRESULT STDMETHODCALLTYPE GetPortDescription(BSTR name, BSTR* result) override;
  HRESULT STDMETHODCALLTYPE GetPorts(ISerialPortInfos** result) override;
  HRESULT STDMETHODCALLTYPE get_ResolvedPortName(BSTR* result) override;
  HRESULT STDMETHODCALLTYPE get_AutoReconnect(VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE put_AutoReconnect(VARIANT_BOOL value) override;
  HRESULT STDMETHODCALLTYPE Query(BSTR text, VARIANT timeout, BSTR* result) override;
  HRESULT STDMETHODCALLTYPE ReadExactly(LONG count, VARIANT* result) override;

  // IConnectionPointContainer
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override;
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** out) override;

  // IProvideClassInfo2
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetGUID(DWORD kind, GUID* guid) override;

  // ISupportErrorInfo
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

  // What the class keeps per process: its window class, let go of when the
  // library is unloaded; and the watchers of a thread that ends.
  static void ThreadEnded();
  static void Unloaded();

 private:
  SerialPortObject(const Kernel32& k, ComPtr<ITypeInfo> dual, ComPtr<ITypeInfo> vtable,
                   ComPtr<ITypeInfo> coclass, HWND window);
  ~SerialPortObject();
  SerialPortObject(const SerialPortObject&) = delete;
  SerialPortObject& operator=(const SerialPortObject&) = delete;

  class Counted {
   public:
    Counted();
    ~Counted();
    Counted(const Counted&) = delete;
    Counted& operator=(const Counted&) = delete;
  };

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  void OnMessage(UINT message, WPARAM wparam, LPARAM lparam);
  void OnNotice(Notice kind, unsigned session, LPARAM unused);
  void OnData();
  void RaiseEvent(DISPID event, LONG argument);
  void RaiseEvent(DISPID event);
  void RaiseEvent(DISPID event, DISPPARAMS& params);

  // Arrival and departure: the port list is watched while a handler is
  // connected or the port waits for its device.
  static void ConnectionsChanged(void* object);
  void UpdateWatch();
  void OnPortsChanged(bool deviceNotice);
  void RaisePortsChanged();
  // Reconnecting: the port waits from the loss of its device until it opens
  // again, Close, AutoReconnect False, the last release or the thread's end.
  void StartWaiting();
  void StopWaiting();
  // `fromCall`: a host's call asks (IsOpen), and a try is made only when one
  // is due; the message loop's timer and port notices try at once.
  void TryReconnect(bool fromCall);
  // A host's call found the device gone: as Vanished, with ErrorReceived
  // raised later from the message loop.
  void LoseDevice(DWORD error);
  unsigned NextSession();
  // Opens `path` (resolved) with the object's settings; on failure `device`
  // stays empty.
  Failure OpenDevice(const std::wstring& path, std::unique_ptr<PortDevice>& device);
  void Opened(std::unique_ptr<PortDevice> device, const std::wstring& port);
  // Failures as hosts see them: the status, and an error object whose
  // description names the member, the port and what went wrong.
  HRESULT Fail(HRESULT status, const wchar_t* member, const std::wstring& what);
  HRESULT FailSystem(const wchar_t* member, const Failure& failure);
  HRESULT FailClosed(const wchar_t* member);
  HRESULT FailArgument(const wchar_t* member, const std::wstring& what);

  // A setting changed: applied to the open device at once, kept only when
  // the driver takes it.
  HRESULT ChangeSettings(const wchar_t* member, const LineSettings& changed);
  HRESULT PutSetting(const wchar_t* member, long LineSettings::*field, bool (*valid)(long),
                     const wchar_t* range, long value);

  UINT ActualCodePage() const;
  // Takes up to `most` bytes queued now into the held bytes.
  Failure Fill(DWORD most);
  // Waits up to `timeout` ms (kNoLimit: no limit) for `done` to hold.
  template <typename Done>
  HRESULT ReadUntil(const wchar_t* member, long timeout, Done done);
  HRESULT ReadText(const wchar_t* member, const std::string& terminator, long timeout, BSTR* result);
  HRESULT DiscardIn(const wchar_t* member);
  HRESULT WriteText(const wchar_t* member, const std::wstring& text);
  HRESULT WriteRaw(const wchar_t* member, const std::string& bytes);
  HRESULT QueueCounts(const wchar_t* member, DWORD* in, DWORD* out);
  HRESULT ModemLine(const wchar_t* member, DWORD bit, VARIANT_BOOL* result);
  // Bytes held while the port waits for its device may still be read.
  bool Readable() const { return device_ || (waiting_ && !held_.empty()); }
  // The device is gone: the port is closed and the host told.
  void Vanished(DWORD error);
  void CloseDevice();

  Counted counted_;  // first, so it goes last
  LONG refs_ = 1;
  const Kernel32& k_;
  ComPtr<ITypeInfo> dual_;
  ComPtr<ITypeInfo> vtable_;
  ComPtr<ITypeInfo> coclass_;
  com::ConnectionPoint events_;
  HWND window_;

  std::wstring portName_ = L"COM1";
  LineSettings settings_;
  long readTimeout_;
  long writeTimeout_;
  std::wstring newLine_ = L"\n";
  long codePage_ = 0;
  long threshold_ = 1;
  bool breakState_ = false;

  std::unique_ptr<PortDevice> device_;  // while open
  std::wstring resolvedName_;            // the port PortName reached, while open
  unsigned session_ = 0;  // which opening; notices of an earlier one are dropped
  std::string held_;      // bytes taken from the device, not yet handed out
  DWORD closedBy_ = 0;    // the error that closed the port when its device failed

  bool autoReconnect_ = false;
  bool waiting_ = false;          // for the device to return
  DWORD retryMs_ = 0;             // the next wait between two tries to reopen
  ULONGLONG nextTry_ = 0;         // when a host's call may try again
  bool watching_ = false;         // subscribed to the port list
  HDEVNOTIFY deviceNotices_ = nullptr;
  bool settling_ = false;         // a device notice's PortsChanged is on its timer
};

}  // namespace vemblaric::serial_port
