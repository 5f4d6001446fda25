#pragma once

#include <windows.h>

#include <map>

#include "support/fake_kernel32.h"

namespace vemblaric::testing {

// The fake that SystemKernel32() hands out in this program.
FakeKernel32& ScriptedSystemKernel32();

// The opens of network names since the last call, by the error each ended
// with (0: it opened, which the fuzz's names must never do).
std::map<DWORD, long> TakeNetworkOpens();

}  // namespace vemblaric::testing
