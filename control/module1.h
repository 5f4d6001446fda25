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

// This thread's record, zeroed when the thread first asks for it; null when
// the thread can have none (no thread-local slot is left, or no memory). A
// member that needs the record then fails with E_OUTOFMEMORY and runs no
// loop: threads never share a record, so none can see another's listeners.
Module1State* Module1();

// For tests: while set, a thread that has no record yet gets none, as when
// the heap is exhausted.
void RefuseNewModule1(bool refuse);

// The records live in a thread-local slot of this library's own, not in
// compiler-made thread storage, because a library that COM loads and unloads
// at any time must leave no destructor of its code behind in a thread or in
// the runtime. The library frees them itself:
//
// Frees the calling thread's record, if it has one. Called as the thread ends
// (the library's thread-detach notification); a later use makes a fresh one.
void FreeThreadModule1();
// Frees every thread's record and the slot itself. Called as the library is
// unloaded, while other threads that used it may still run; they get fresh
// records if the library is loaded and used again. A program that links the
// control in calls neither and keeps each thread's record to its end.
void FreeAllModule1();

}  // namespace vemblaric
