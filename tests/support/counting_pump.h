// A message pump for tests: counts its calls and can run host code inside one.
#pragma once

#include <functional>

#include "port/message_pump.h"

namespace vemblaric::testing {

class CountingPump : public MessagePump {
 public:
  void DoEvents() override {
    ++count;
    if (onPump) onPump(count);
  }
  int count = 0;
  std::function<void(int)> onPump;  // receives the number of this pump, from 1
};

}  // namespace vemblaric::testing
