// The platform part of the fatal-error report (fatal_error.cpp): how a
// thread that faulted hands the "Fatal Error" box to the GUI thread, and a
// watchdog that ends the process when the box hangs. Platform code in
// fatal_box_posix.cpp; every function is safe inside a fatal-signal handler.
#pragma once

namespace TarvPatch {

// Records the calling thread as the one that shows the box; `show` runs on
// it when another thread asks (HandBoxToGuiThread). False when requests
// cannot be received.
bool ListenForBoxRequests(void (*show)());

// Ends the process with exit status `code` after `seconds`, whatever the
// process does meanwhile.
void StartExitWatchdog(unsigned seconds, int code);

// Asks the recorded GUI thread to show the box and waits there for it to end
// the process; returns only when no request could be delivered.
void HandBoxToGuiThread();

}  // namespace TarvPatch
