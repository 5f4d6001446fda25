// Port names that say which device rather than which number:
//   usb://VVVV:PPPP[/SERIAL[/INTERFACE]]  the port of that USB device
//   match://TEXT  the port whose description, manufacturer, hardware id or
//                 instance path contains TEXT
// resolved against the ports attached now, without regard to case. Every
// other name is the port's own.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "devices/port_names.h"

namespace vemblaric::devices {

struct ResolvedPort {
  std::wstring path;      // what CreateFile opens: \\.\COM7; a path or network name as given
  std::wstring portName;  // the port reached: COM7 for a device name, else the name as given
  // 0; ERROR_FILE_NOT_FOUND (no port matches), ERROR_INVALID_PARAMETER (more
  // than one does) or ERROR_INVALID_NAME (the name does not parse).
  DWORD error = 0;
  std::wstring failure;  // for the host: what is attached, or which ports match
  bool failed() const { return error != 0; }
};

// True for the schemes above, whatever their case.
bool IsDevicePattern(std::wstring_view name);

// Resolves `name` against the ports attached now: the one call that both
// opening a port and opening it again after its device came back make.
ResolvedPort ResolvePortName(const std::wstring& name);

// The same against `ports` (tests).
ResolvedPort ResolvePortName(const std::wstring& name, const std::vector<PortFacts>& ports);

}  // namespace vemblaric::devices
