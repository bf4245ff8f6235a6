#include <sys/auxv.h>

#include <cstdlib>

#include "diag/test_hooks.h"

namespace TarvDiag {

bool TestHooksAllowed() {
  // AT_SECURE: set-id or file capabilities; PKEXEC_UID: the elevated copy.
  if (getauxval(AT_SECURE) != 0) return false;
  const char* elevated_for = std::getenv("PKEXEC_UID");
  return elevated_for == nullptr || *elevated_for == '\0';
}

}  // namespace TarvDiag
