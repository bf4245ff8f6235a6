#include <dlfcn.h>

#include "diag/call_stack.h"
#include "diag/text_encoding.h"

namespace TarvDiag {

std::wstring ModuleOf(const void* address) {
  Dl_info dl = {};
  if (dladdr(address, &dl) == 0 || dl.dli_fname == nullptr) return std::wstring();
  return TarvText::FromUtf8(dl.dli_fname);
}

}  // namespace TarvDiag
