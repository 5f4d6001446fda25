// The thread's message pump, run where the control lets host code in.
#pragma once

namespace vemblaric::runtime {

// Dispatches every message pending for this thread, so the host's handlers
// run, and returns false. On WM_QUIT it stops, posts the quit again with the
// same exit code for the host's own message loop, and returns true.
bool DoEvents();

}  // namespace vemblaric::runtime
