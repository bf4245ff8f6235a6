#include <signal.h>

#include "data/file_faults.h"

namespace TarvFile {

int DefaultCrashSignal() { return SIGKILL; }

void RaiseCrash(int signal) { raise(signal); }

}  // namespace TarvFile
