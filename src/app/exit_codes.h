// The patcher's exit status, as scripts see it. The window returns 0 unless
// its command line is refused; the window-less mode reports the session's
// outcome.
#pragma once

namespace TarvPatch {

enum ExitCode : int {
  kExitCompleted = 0,       // the session ended with "Patching completed."
  kExitAborted = 1,         // the session ended with "Patching aborted."
  kExitBadCommandLine = 2,  // the command line was refused
  kExitCancelled = 3,       // SIGINT or SIGTERM cancelled the session
  kExitAnotherPatcher = 4,  // another patcher works on the installation
};

}  // namespace TarvPatch
