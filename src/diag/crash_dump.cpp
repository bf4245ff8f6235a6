#include "diag/crash_dump.h"

#include <cwchar>

namespace TarvDiag {

std::wstring CrashDumpFileName(const std::wstring& base_name, const std::tm& local) {
  // The name's buffer holds 256 characters; a longer base name is cut there.
  wchar_t buffer[256];
  std::wstring version(kPatcherVersion, kPatcherVersion + sizeof kPatcherVersion - 1);
  int n = swprintf(buffer, 256, L"%ls-v%ls-%i.%02i.%02i-%02i.%02i.%02i.dmp", base_name.c_str(),
                   version.c_str(), local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                   local.tm_hour, local.tm_min, local.tm_sec);
  if (n < 0) return std::wstring();
  return buffer;
}

}  // namespace TarvDiag
