// The system's own text for an error number (errno on Linux, a Win32 error
// code on Windows), in UTF-8 without a trailing line break, so that the
// layers above can name a failure's cause the same way on each platform.
// Safe on any thread.
#pragma once

#include <string>

namespace TarvDiag {

std::string SystemErrorText(unsigned long code);

}  // namespace TarvDiag
