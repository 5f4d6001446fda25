// The one runtime service the port layer needs: the message pump that lets the
// host's pending messages and handlers run at the named points of a transfer.
// The control binds it to the thread's real pump; tests count the calls.
#pragma once

namespace vemblaric {

class MessagePump {
 public:
  virtual void DoEvents() = 0;

 protected:
  ~MessagePump() = default;
};

}  // namespace vemblaric
