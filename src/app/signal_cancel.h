// SIGINT, SIGTERM and SIGHUP as the window-less patcher's Cancel button: the
// handler only raises a flag and wakes the main thread through a pipe; the
// main thread then cancels as the window does. Programs the patcher starts
// get the default handling back when they are executed.
#pragma once

#include <atomic>

namespace TarvPatch {

class SignalCancel {
 public:
  // Installs the handlers (and ignores SIGPIPE); `flag` (which must outlive the process's use of
  // signals) is set by the handler itself, so that the session sees the
  // cancel even before the main thread wakes. False when the pipe or the
  // handlers could not be set up.
  static bool Install(std::atomic<bool>* flag);
  // Waits up to `milliseconds` for a signal; true when one has come.
  static bool Wait(int milliseconds);
  // The signal that came (0 when none).
  static int Received();
};

}  // namespace TarvPatch
