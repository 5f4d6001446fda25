// The control's one door to its host: events, property-change notices, whether
// anybody listens to the events, and the thread's message pump. The server
// binds it to connection points, IPropertyNotifySink and the runtime's pump;
// tests bind it to a recording fake.
#pragma once

#include <windows.h>
#include <oleauto.h>

namespace vemblaric {

// Member identifiers of the four settable properties, as the host knows them.
constexpr DISPID kDispidPort = 0x68030005;
constexpr DISPID kDispidBaud = 0x68030004;
constexpr DISPID kDispidStatus = 0x68030003;
constexpr DISPID kDispidBuffer = 0x68030002;

// Event numbers of the event interface.
enum ControlEvent : int { kDataArrived = 1, kDataSent = 2 };

class HostSite {
 public:
  // Delivers the event to every connected sink, synchronously, with `text` by
  // reference: a handler's assignment lands in the string `text` points at.
  // The control does not look at the outcome.
  virtual void RaiseEvent(ControlEvent event, BSTR* text) = 0;
  // Tells the host that a property changed; a failure is the setter's failure.
  virtual HRESULT PropertyChanged(DISPID dispid) = 0;
  // True when at least one sink is connected to the event interface.
  virtual bool HasEventSinks() = 0;
  // Processes the thread's pending messages, so host code may run. Returns
  // true when it met WM_QUIT, which it has posted again for the host's loop.
  virtual bool DoEvents() = 0;
  // Keeps the control alive until the matching LetGo, across a call out of the
  // thread's receive loop that may release it. LetGo may destroy the control.
  virtual void KeepAlive() = 0;
  virtual void LetGo() = 0;

 protected:
  ~HostSite() = default;
};

}  // namespace vemblaric
