// Which ports the system lists, watched for the SerialPort objects that want
// to know: one with a handler connected (PortsChanged), or one whose port
// waits for its device to return. One thread of the process looks at the
// device map and at the DOS device names, once a second while any window
// subscribes, and posts a message to each subscribed window when either list
// changed. It never calls a host: events are raised by each window's own
// thread, from its message loop.
//
// The rules (one lock guards the subscribers, the lists and the flags):
// - A window is subscribed once at most. Subscribe and Unsubscribe come from
//   the window's own thread; ThreadEnded unsubscribes the ending thread's
//   windows, which the system destroys with it.
// - Of each window one notice at most is on its way: its flag goes up when a
//   post is accepted and down when the window's thread calls Taken. Changes
//   meanwhile are told by that one notice. A refused post (a full queue)
//   leaves the flag down and the change owed, and the next look posts it
//   again.
// - Seen answers from the last look and never looks itself, so a host's call
//   reads no registry. The first subscriber's Subscribe looks once on its own
//   thread, so Seen is right from then on, and what changed while nobody
//   watched is no change.
// - LookSoon (a device notice, which may come before the device map is
//   written) makes the thread look at once and again a moment later,
//   besides its looks once a second.
// - The thread runs while any window is subscribed; the last Unsubscribe
//   lets it end, and the next Subscribe starts another. It waits on nothing
//   but its wake-up event and its interval, and posts under the lock, which
//   a post never takes again.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "serial_port/port_names.h"

namespace vemblaric::serial_port {

class PortWatch {
 public:
  using Look = PortLists (*)();
  using Post = BOOL(WINAPI*)(HWND, UINT, WPARAM, LPARAM);
  // The watcher looks at most this often.
  static constexpr DWORD kIntervalMs = 1000;

  // `threaded`: a thread looks while any window subscribes. Without one,
  // the caller's Looked stands for the thread's looks (tests).
  PortWatch(Look look, Post post, bool threaded);
  PortWatch(const PortWatch&) = delete;
  PortWatch& operator=(const PortWatch&) = delete;

  // The process's: the system's lists and PostMessageW; never destroyed, so
  // that nothing of it runs while the library unloads.
  static PortWatch& Process();

  void Subscribe(HWND window, UINT message);
  void Unsubscribe(HWND window);
  // The window's thread handled its notice: the next change posts again.
  void Taken(HWND window);
  // Whether the last look listed `name` ("COM7", any case) in the device map
  // or among the DOS device names.
  bool Seen(const std::wstring& name) const;
  void LookSoon();
  void ThreadEnded(DWORD thread);
  // One look's lists: a change is owed to every window, and what is owed is
  // posted.
  void Looked(PortLists now);

 private:
  struct Subscriber {
    HWND window;
    UINT message;
    DWORD thread;
    bool posted;  // a notice is on its way
    bool owed;    // a change is not told yet
  };
  class Locked;
  static DWORD WINAPI Watch(void* self);
  void PostOwed();
  void Drop(bool (*match)(const Subscriber&, const void*), const void* what);

  const Look look_;
  const Post post_;
  const bool threaded_;
  mutable SRWLOCK lock_ = SRWLOCK_INIT;
  std::vector<Subscriber> subscribers_;
  PortLists last_;
  bool running_ = false;  // a watcher thread runs, or is about to
  bool soon_ = false;     // a device notice asked for a second look
  HANDLE wake_ = nullptr;  // made once, kept for the watch's life
};

}  // namespace vemblaric::serial_port
