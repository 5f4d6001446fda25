// The per-thread module state: one record per thread, shared by every control
// on that thread. Storing 4 in intLoopStop therefore ends every receive loop
// running on the thread, whichever control started it.
#pragma once

#include "port/text.h"

namespace vemblaric {

struct Module1State {
  long lngStatus = 0;       // the result of the last port-layer call of any control
  Bstr strReceived;         // the text of the last read
  long lngWriteLength = 0;  // the byte length of the text being written
  short intLoopStop = 0;    // the receive loop runs while this is below 4
};

constexpr short kLoopStop = 4;

// This thread's record, zeroed when the thread first asks for it.
Module1State& Module1();

}  // namespace vemblaric
