// A crash point on Windows ends the process at once, as TerminateProcess
// from outside would: no handler, no flush. The exit code is the one a
// POSIX shell shows for the signal (128 + number), so that the tests of a
// crash read the same on both platforms. SIGSTOP's number suspends the
// calling thread instead, so that a parent can look at the files mid-write.
#include <windows.h>

#include "data/file_faults.h"

namespace TarvFile {

int DefaultCrashSignal() { return 9; }

void RaiseCrash(int signal) {
  constexpr int kStop = 19;
  if (signal == kStop) {
    SuspendThread(GetCurrentThread());
    return;
  }
  TerminateProcess(GetCurrentProcess(), 128 + static_cast<UINT>(signal));
}

}  // namespace TarvFile
