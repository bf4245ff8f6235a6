#include <cstring>

#include "diag/system_error.h"

namespace TarvDiag {

std::string SystemErrorText(unsigned long code) {
  char buffer[256];
  // The GNU strerror_r returns the text, which may or may not be `buffer`.
  return strerror_r(static_cast<int>(code), buffer, sizeof buffer);
}

}  // namespace TarvDiag
