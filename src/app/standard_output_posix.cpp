#include <fcntl.h>
#include <unistd.h>

#include "app/standard_output.h"
#include "diag/system_log.h"

namespace TarvPatch {

int TakeStandardOutput(bool verbose) {
  if (TarvDiag::ConsolePipeOpen()) return fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  const int report = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (report < 0) return -1;
  const int trace = verbose ? STDERR_FILENO : open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (trace < 0 || dup2(trace, STDOUT_FILENO) < 0) {
    close(report);
    return -1;
  }
  if (trace != STDERR_FILENO) close(trace);
  return report;
}

}  // namespace TarvPatch
