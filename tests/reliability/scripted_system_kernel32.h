#pragma once

#include "support/fake_kernel32.h"

namespace vemblaric::testing {

// The fake that SystemKernel32() hands out in this program.
FakeKernel32& ScriptedSystemKernel32();

}  // namespace vemblaric::testing
