// What a port's watcher thread and the object's thread share about one
// opening of the port: the bytes that arrived and how far DataReceived has
// told them, the pin changes, line errors and failure gathered for the host,
// and which notices are on their way to it. One lock guards all of it; the
// post function is called under the lock and must only post (PostMessage),
// never call back into this type.
//
// The rules:
// - Of each kind (data, pins, errors, failure) one notice at most is on its
//   way. Its flag goes up when a post is accepted and down when the host
//   takes what the kind reports; what comes meanwhile is gathered into it
//   (bits or'ed together, bytes counted), so a storm of pin changes makes one
//   notice, not thousands.
// - A post that is refused (the thread's queue is full) leaves its flag down
//   and what it would have told gathered: the next post of any kind, or the
//   watcher's next look (Retry), posts it again. Retrying() tells the watcher
//   that something waits for that. The failure notice is posted again until
//   one is accepted or the port is closed.
// - The arrival count is every byte the host took from the device (or
//   discarded) plus those queued in the driver now. `reported` is the count
//   the host last handled a data notice at. A data notice is due when a look
//   sees the count pass `reported`, or when a DataReceived is owed: a look
//   saw bytes while a notice was on its way, a handler took some and left
//   enough for another, or the threshold came down to bytes that were too
//   few for it.
// - One DataReceived runs at a time for an opening (`raising`); the data
//   flag stays up while it runs, so the watcher posts nothing under it. A
//   handler that closes the port and opens it again has a new opening, with
//   bookkeeping of its own: the new one's notices are raised, not held back
//   by the old one's running handler.
// - A break is a pin change; overflow, overrun, parity and framing are errors,
//   whichever thread's ClearCommError found them: the call clears them in
//   the driver, so each is told once. Once the driver's event wait works, a
//   break is told from its event instead of its error flag.
#pragma once

#include <windows.h>

#include <cstddef>

namespace vemblaric::serial_port {

// What a posted notice reports; the host takes the details from Arrivals.
enum class Notice : unsigned {
  kData = 1,    // bytes arrived that no DataReceived has reported yet
  kPins = 2,    // modem lines changed, or a break came (TakePins)
  kErrors = 3,  // line errors (TakeErrors)
  kFailed = 4,  // the device is gone (TakeFailure)
};

class Arrivals {
 public:
  // Posts one notice to the object's thread; false when it was refused.
  using Post = bool (*)(void* context, Notice kind);
  Arrivals(Post post, void* context);
  Arrivals(const Arrivals&) = delete;
  Arrivals& operator=(const Arrivals&) = delete;

  // The watcher's side.
  void Seen(DWORD queued);         // a look found `queued` bytes in the driver
  void PinsChanged(DWORD events);  // EV_CTS, EV_DSR, EV_RLSD, EV_BREAK, EV_RING
  void Failed(DWORD error);        // the device failed; the watcher looks no more
  void UseEventWait();             // the driver's event wait works
  void Retry();                    // posts again what was refused
  bool Retrying() const;           // something refused waits for Retry
  bool FailurePosted() const;      // a failure notice was accepted

  // Either side: the error word of a ClearCommError.
  void Cleared(DWORD errors);

  // The host's side.
  void Took(DWORD count);  // bytes read from the device, or discarded
  unsigned long long Arrived(DWORD queued) const;
  // A data notice reached the host, with `available` bytes held and queued
  // and the arrival count `arrived`: true when DataReceived is to be raised
  // now, after which EndData is owed; false when the notice is done.
  bool StartData(size_t available, unsigned long long arrived, size_t threshold);
  // DataReceived returned, and the same opening is still open.
  void EndData(size_t available, unsigned long long arrived, size_t threshold);
  void ThresholdLowered();
  DWORD TakePins();
  DWORD TakeErrors();
  DWORD TakeFailure();

 private:
  class Locked;
  void Done(unsigned long long arrived);
  void PostDue();
  bool DataDue() const;

  const Post post_;
  void* const context_;
  mutable SRWLOCK lock_ = SRWLOCK_INIT;

  unsigned long long taken_ = 0;     // bytes the host read from the device
  unsigned long long seen_ = 0;      // the arrival count the last look saw
  unsigned long long reported_ = 0;  // the count the host last handled a notice at
  bool owed_ = false;           // a DataReceived is due for counted bytes
  bool belowThreshold_ = false; // bytes are held back by the threshold alone
  bool raising_ = false;
  unsigned long long raisedArrived_ = 0;  // what the running DataReceived was raised for
  size_t raisedAvailable_ = 0;
  DWORD pins_ = 0, errors_ = 0, failure_ = 0;
  bool dataPosted_ = false, pinsPosted_ = false, errorsPosted_ = false, failurePosted_ = false;
  bool eventWait_ = false;
};

}  // namespace vemblaric::serial_port
