#include "control/module1.h"

namespace vemblaric {

Module1State& Module1() {
  // Each thread's copy is made on its first use and freed, string included,
  // when the thread ends; this also holds in a library loaded after the
  // thread started.
  static thread_local Module1State state;
  return state;
}

}  // namespace vemblaric
