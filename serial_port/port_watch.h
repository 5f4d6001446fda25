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
//   reads no registry. A subscriber's first Subscribe looks once on its own
//   thread, so Seen is right from then on.
// - LookSoon (a device notice, which may come before the device map is
//   written) makes the thread look at once and again a moment later,
//   besides its looks once a second.
// - The thread runs while any window is subscribed; the last Unsubscribe
//   lets it end, and the next Subscribe starts another. It waits on nothing
//   but its wake-up event and its interval.
#pragma once

#include <windows.h>

#include <string>

namespace vemblaric::serial_port {

namespace port_watch {

// The watcher looks at most this often, and every window's notice is this
// message, with no parameters.
constexpr DWORD kIntervalMs = 1000;

void Subscribe(HWND window, UINT message);
void Unsubscribe(HWND window);
// The window's thread handled its notice: the next change posts again.
void Taken(HWND window);
// Whether the last look listed `name` ("COM7", any case) in the device map or
// among the DOS device names.
bool Seen(const std::wstring& name);
void LookSoon();
void ThreadEnded();

}  // namespace port_watch

}  // namespace vemblaric::serial_port
