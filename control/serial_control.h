// The control object: the six property values, their persistence, the
// one-call operations over the port layer of the slot named by Port, the
// receive loop and the two events.
//
// Every member of the automation interface is here under its published name,
// returns an HRESULT and is virtual: the control's members call one another
// through this table, as the host calls them, so a failure status reaches an
// internal caller exactly as it would reach the host. Some callers ignore such
// a failure and go on (Open_Com, ControlOn, ControlOff, the closing step of
// Close_Com); all others stop and pass it on. Port-layer result codes are never
// failures: they land in Module1().lngStatus and in the error record.
//
// No C++ exception leaves a member. A failure caught inside one is returned as
// the automation error of its number (0x800A0000 | number). Null out-pointers
// give E_POINTER. A member that needs the thread's record (module1.h) and
// finds the thread without one gives E_OUTOFMEMORY.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <ocidl.h>

#include "control/host_site.h"
#include "port/kernel32.h"
#include "port/message_pump.h"
#include "port/port_layer.h"
#include "port/text.h"

namespace vemblaric {

struct Module1State;

// The one-line credit that Company returns.
extern const wchar_t kCompanyText[];
// The text that Version returns.
extern const wchar_t kVersionText[];

class SerialControl {
 public:
  // Starts with the defaults of InitProperties: a host that never calls a
  // persistence method still opens COM2 at 57600. Throws std::bad_alloc when
  // the default texts cannot be allocated.
  explicit SerialControl(HostSite& host, const Kernel32& kernel32 = SystemKernel32());
  // Leaves the thread's receive loop, so the loop never touches it again.
  virtual ~SerialControl();
  SerialControl(const SerialControl&) = delete;
  SerialControl& operator=(const SerialControl&) = delete;

  // Connection operations.
  virtual HRESULT Open_Com();
  virtual HRESULT Close_Com();
  virtual HRESULT close_Com_norm();
  virtual HRESULT Clear_Com();
  virtual HRESULT ControlOn();
  virtual HRESULT ControlOff();
  virtual HRESULT waitnow(long* valu1);
  virtual HRESULT settingeval(long* p1, BSTR* result);

  // Reading, writing and the receive loop.
  virtual HRESULT Read_Com();
  virtual HRESULT Write_Com(BSTR Datastr);
  virtual HRESULT looprocess();

  // Properties.
  virtual HRESULT get_Port(short* value);
  virtual HRESULT put_Port(short value);
  virtual HRESULT get_Baud(long* value);
  virtual HRESULT put_Baud(long value);
  virtual HRESULT get_Status(VARIANT_BOOL* value);
  virtual HRESULT put_Status(VARIANT_BOOL value);
  virtual HRESULT get_Buffer(BSTR* value);
  virtual HRESULT put_Buffer(BSTR value);
  virtual HRESULT get_Company(BSTR* value);
  virtual HRESULT get_Version(BSTR* value);

  // The port primitives, as hidden members: the port layer's results become
  // each member's last parameter.
  virtual HRESULT GetSystemMessage(long* lngErrorCode, BSTR* result);
  virtual HRESULT CommOpen(short* intPortID, BSTR* strPort, BSTR* strSettings, long* result);
  virtual HRESULT CommSet(short* intPortID, BSTR* strSettings, long* result);
  virtual HRESULT CommClose(short* intPortID, long* result);
  virtual HRESULT CommFlush(short* intPortID, long* result);
  virtual HRESULT CommRead(short* intPortID, BSTR* strData, long* lngSize, long* result);
  virtual HRESULT CommWrite(short* intPortID, BSTR* strData, long* result);
  virtual HRESULT CommGetLine(short* intPortID, short* intLine, VARIANT_BOOL* blnState,
                              long* result);
  virtual HRESULT CommSetLine(short* intPortID, short* intLine, VARIANT_BOOL* blnState,
                              long* result);
  virtual HRESULT CommGetError(BSTR* strMessage, long* result);

  // Persistence, called on the container's behalf.
  virtual HRESULT InitProperties();
  virtual HRESULT ReadProperties(IPropertyBag* bag);
  virtual HRESULT WriteProperties(IPropertyBag* bag);

  // For the server layer: this control leaves the thread's receive loop at
  // once, and no other does, when the container closes it or drops its site.
  void StopLoop() { listening_ = Listening::kNo; }
  // The same when the host has let go of its last reference while a member
  // or the loop's turn still holds the control: from then on nothing it runs
  // makes it listen again.
  void HostLetGo() {
    hostGone_ = true;
    listening_ = Listening::kNo;
  }

  // Read-only views for the server layer and for tests.
  const PortLayer& Ports() const { return ports_; }
  // True while the thread's running receive loop serves this control.
  bool LoopRunning() const;

 private:
  // The port layer's pump: the host's, and a WM_QUIT met there makes every
  // control of the thread leave the loop, so the host's own message loop
  // gets to see it.
  class HostPump : public MessagePump {
   public:
    explicit HostPump(HostSite& host) : host_(host) {}
    void DoEvents() override;

   private:
    HostSite& host_;
  };

  // Lowers the stop flag before a loop call, when somebody listens to events.
  void ArmLoop(Module1State& m);
  // Stores 4 in the stop flag: this control stops listening (the loop skips
  // it from now on), and every other control goes on.
  void StopListening(Module1State& m);
  // True while a sink is connected and the slot named by Port is open.
  bool Listened();
  // Runs the thread's receive loop, over the thread's record `m`, until no
  // control listens; `this` pumps and pauses.
  HRESULT RunLoop(Module1State& m);
  // One control's turn in a pass: its read and its DataArrived.
  HRESULT Serve(Module1State& m);
  // Drops the controls that no longer listen; true while any is left.
  static bool DropLeavers(Module1State& m);

  HostSite& host_;
  const Kernel32& k_;
  HostPump pump_;
  PortLayer ports_;

  // The property values; the operations store Status_ and Buffer_ directly,
  // which notifies nobody.
  short Port_ = 0;
  long Baud_ = 0;
  VARIANT_BOOL Status_ = VARIANT_FALSE;
  Bstr Buffer_;
  Bstr strCompany_;
  Bstr strVersion_;

  // In the thread's list of listeners (until the loop drops it).
  bool joined_ = false;
  // Whether the loop serves the control: not at all, not even later in the
  // pass that is running (it left); in the running pass only (a quit was
  // met); or in every pass.
  enum class Listening { kNo, kThisPass, kYes };
  Listening listening_ = Listening::kNo;
  // The host let go of its last reference.
  bool hostGone_ = false;
};

}  // namespace vemblaric
