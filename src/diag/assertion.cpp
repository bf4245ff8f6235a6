#include "diag/assertion.h"

#include <cstdlib>

#include "diag/call_stack.h"
#include "diag/system_log.h"

void AssertFailed(bool condition, const char* text) {
  if (condition) return;
  {
    TarvDiag::DiagnosticsLock lock;
    SystemLogA("Assertion failed: %s", text ? text : "");
    LogCallStack(true);
  }
  abort();
}
