#include <windows.h>

#include <algorithm>

#include "diag/text_encoding.h"
#include "os/this_process.h"

namespace OS {

std::string ExecutablePath() {
  std::wstring path(MAX_PATH, L'\0');
  // Long paths exceed MAX_PATH; the system cuts and says so by filling the
  // buffer, so read again with room to spare (up to the system's limit).
  while (path.size() <= 32768) {
    DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return std::string();
    if (length < path.size()) return TarvText::ToUtf8(path.substr(0, length));
    path.resize(path.size() * 2);
  }
  return std::string();
}

void WriteStandardError(std::string_view bytes) {
  HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD put = 0;
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
    if (!WriteFile(handle, bytes.data() + done, chunk, &put, nullptr) || put == 0) return;
    done += put;
  }
}

void ExitNow(int code) {
  // TerminateProcess, not ExitProcess: no library is told to clean up.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code & 0xff));
  for (;;) Sleep(INFINITE);
}

}  // namespace OS
