// How a failure caught inside a member reaches the host: as the automation
// error of its number, which hosts show as that number and its description.
#pragma once

#include <windows.h>

#include "port/caught_failure.h"

namespace vemblaric {

inline HRESULT AutomationError(long number) {
  return static_cast<HRESULT>(0x800A0000UL | (static_cast<unsigned long>(number) & 0xFFFFUL));
}

// The status of whatever the current catch block caught.
inline HRESULT CaughtStatus() { return AutomationError(CurrentCaughtFailure()); }

}  // namespace vemblaric
