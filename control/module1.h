// The per-thread module state: one record per thread, shared by every control
// on that thread, with the thread's one receive loop and the controls it serves.
#pragma once

#include <vector>

#include "port/text.h"

namespace vemblaric {

class SerialControl;

struct Module1State {
  long lngStatus = 0;       // the result of the last port-layer call of any control
  Bstr strReceived;         // the text of the last read
  long lngWriteLength = 0;  // the byte length of the text being written
  short intLoopStop = 0;    // 4 once a control stopped listening; a loop call needs it below 4
  // The controls the thread's receive loop serves, in the order they joined,
  // and whether that loop is running further up this thread's stack.
  std::vector<SerialControl*> listeners;
  bool loopRunning = false;
};

constexpr short kLoopStop = 4;

// This thread's record, zeroed when the thread first asks for it.
Module1State& Module1();

}  // namespace vemblaric
