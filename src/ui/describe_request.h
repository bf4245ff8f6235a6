// How a test asks the running window to describe itself in the session log
// from outside the process: on Linux the signal SIGUSR1. Platform code in
// describe_request_posix.cpp. GUI thread, once, after the window is up.
#pragma once

namespace TarvPatch {

// Calls `request` whenever the outside asks; `request` must be safe in a
// signal handler (it only sets a flag).
void ListenForDescribeRequests(void (*request)());

}  // namespace TarvPatch
