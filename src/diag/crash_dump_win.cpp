// Windows side of the crash dump: a minidump written by MiniDumpWriteDump
// from an unhandled-exception filter that runs before the framework's own
// (which then finds the dump written). The file names are fixed at set-up;
// the filter only opens the file and hands it to DbgHelp.
#include <windows.h>
// After windows.h, which they need.
#include <dbghelp.h>

#include <ctime>

#include "diag/crash_dump.h"

namespace TarvDiag {
namespace {

std::wstring g_dump_name;
std::wstring g_dump_path;      // name relative to the current folder
std::wstring g_fallback_path;  // the same name in the temporary folder
volatile LONG g_armed = 0;
volatile LONG g_written = 0;
LPTOP_LEVEL_EXCEPTION_FILTER g_previous = nullptr;

HANDLE OpenDumpFile() {
  HANDLE file = CreateFileW(g_dump_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE && !g_fallback_path.empty()) {
    file = CreateFileW(g_fallback_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  return file;
}

void WriteDump(EXCEPTION_POINTERS* exception) {
  if (!g_armed || InterlockedExchange(&g_written, 1) != 0) return;
  HANDLE file = OpenDumpFile();
  if (file == INVALID_HANDLE_VALUE) return;
  MINIDUMP_EXCEPTION_INFORMATION info = {GetCurrentThreadId(), exception, FALSE};
  MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal,
                    exception != nullptr ? &info : nullptr, nullptr, nullptr);
  FlushFileBuffers(file);
  CloseHandle(file);
}

LONG WINAPI DumpFilter(EXCEPTION_POINTERS* exception) {
  WriteDump(exception);
  if (g_previous != nullptr) return g_previous(exception);
  return EXCEPTION_CONTINUE_SEARCH;
}

std::wstring FallbackFolder() {
  wchar_t buffer[MAX_PATH + 2];
  DWORD length = GetEnvironmentVariableW(L"TEMP", buffer, MAX_PATH + 2);
  if (length == 0 || length > MAX_PATH) length = GetTempPathW(MAX_PATH + 2, buffer);
  if (length == 0 || length > MAX_PATH + 1) return std::wstring();
  std::wstring folder(buffer, length);
  if (folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
  return folder;
}

}  // namespace

std::wstring CrashDumpName() { return g_dump_name; }

bool CrashDumpWritten() { return g_written != 0; }

bool DebuggerAttached() { return IsDebuggerPresent() != FALSE; }

}  // namespace TarvDiag

bool SetUpCrashDump(const std::wstring& base_name, void (*enable_fatal_handling)()) {
  using namespace TarvDiag;
  if (DebuggerAttached()) return false;
  std::time_t now = std::time(nullptr);
  std::tm local = {};
  if (localtime_s(&local, &now) != 0) return false;
  std::wstring name = CrashDumpFileName(base_name, local);
  if (name.empty() || name.find_first_of(L"\\/:") != std::wstring::npos) return false;
  g_dump_name = name;
  g_dump_path = name;
  std::wstring fallback = FallbackFolder();
  g_fallback_path = fallback.empty() ? std::wstring() : fallback + name;
  // DbgHelp is loaded now, not while the process is failing.
  LoadLibraryW(L"dbghelp.dll");
  if (enable_fatal_handling) enable_fatal_handling();
  g_previous = SetUnhandledExceptionFilter(DumpFilter);
  g_armed = 1;
  return true;
}

void WriteCrashDump() { TarvDiag::WriteDump(nullptr); }
