#include "diag/call_stack.h"

#include <cinttypes>
#include <cstdio>

#include "diag/system_log.h"
#include "diag/text_encoding.h"

namespace TarvDiag {

std::string FormatAddressList(const std::vector<uint64_t>& addresses) {
  char buffer[kAddressListBytes] = {0};
  size_t used = 0;
  for (uint64_t address : addresses) {
    if (used >= kAddressListBytes - 1) break;
    int n = snprintf(buffer + used, kAddressListBytes - used, "%" PRIx64 " ", address);
    if (n < 0) break;
    used += static_cast<size_t>(n);
    if (used > kAddressListBytes - 1) used = kAddressListBytes - 1;
  }
  return std::string(buffer, used);
}

}  // namespace TarvDiag

void LogCallStack(bool resolve) {
  TarvDiag::DiagnosticsLock lock;
  std::vector<uint64_t> addresses = TarvDiag::CaptureStack();
  SystemLogA("callstack: %s", TarvDiag::FormatAddressList(addresses).c_str());
  if (!resolve) return;
  for (uint64_t address : addresses) {
    TarvDiag::StackFrameInfo f = TarvDiag::ResolveFrame(address);
    SystemLogW(L"  %s %s [%s:%d]", f.module.c_str(), f.function.c_str(), f.file.c_str(), f.line);
  }
}
