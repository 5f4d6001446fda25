// The fuzz program's kernel32: the scripted fake in place of the system's
// table. The control object asks for SystemKernel32() when it is made; this
// definition, linked into the program itself, is found before the port
// library's, so every control the program creates talks to the fake.
#include "port/kernel32.h"
#include "scripted_system_kernel32.h"

namespace vemblaric {

testing::FakeKernel32& testing::ScriptedSystemKernel32() {
  static FakeKernel32 fake;
  return fake;
}

const Kernel32& SystemKernel32() { return testing::ScriptedSystemKernel32().table(); }

}  // namespace vemblaric
