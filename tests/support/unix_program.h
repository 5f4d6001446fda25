// Runs a program of the Linux side (the bench's scripts, stty) from a test
// under Wine, which starts a Unix executable named by its Z: path.
#pragma once

#include <windows.h>

#include <string>

namespace vemblaric::testing {

// False when it could not be started. Its end is not reported, so callers
// wait for its effect. Wine hands back no handles of its own for a Unix
// program: the PROCESS_INFORMATION then holds whatever was on its stack
// (a 32-bit run saw 0x0F, which names the same handle as 0x0C, our standard
// output), so nothing in it is closed.
inline bool RunUnixProgram(const std::wstring& commandLine) {
  STARTUPINFOW start{};
  start.cb = sizeof start;
  PROCESS_INFORMATION info{};
  std::wstring line = commandLine;
  return ::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &start,
                          &info) != FALSE;
}

}  // namespace vemblaric::testing
