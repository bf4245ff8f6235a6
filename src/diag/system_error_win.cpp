#include <windows.h>

#include <string>

#include "diag/system_error.h"
#include "diag/text_encoding.h"

namespace TarvDiag {

std::string SystemErrorText(unsigned long code) {
  wchar_t buffer[512];
  const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  DWORD length = FormatMessageW(flags, nullptr, code, 0, buffer, 512, nullptr);
  // The system's texts end with ".\r\n"; the caller adds its own punctuation.
  while (length > 0 && (buffer[length - 1] == L'\n' || buffer[length - 1] == L'\r' ||
                        buffer[length - 1] == L' ' || buffer[length - 1] == L'.')) {
    --length;
  }
  if (length == 0) return "error " + std::to_string(code);
  return TarvText::ToUtf8(std::wstring(buffer, length)) + " (error " + std::to_string(code) + ")";
}

}  // namespace TarvDiag
