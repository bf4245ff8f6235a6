// Windows side of the trace: lines go to the debugger through
// OutputDebugStringW, and to the console pipe "\\.\pipe\<pid>cout" when a
// listener created it before this process started.
#include <windows.h>

#include <string>

#include "diag/system_log.h"
#include "diag/text_encoding.h"

namespace TarvDiag {
namespace {

bool g_pipe_open = false;
// The listener's pipe. Only the trace writes into it: the standard output
// handle stays what it was, so that whatever else writes there (the
// transfer layer, a started unpacker or difference tool) never puts 8-bit
// bytes into the listener's UTF-16LE stream.
HANDLE g_pipe = INVALID_HANDLE_VALUE;

// Connected during static initialisation so that every line of the program,
// including those written before main, reaches the listener. Without a
// listener standard output is left as it is.
struct ConsolePipe {
  ConsolePipe() {
    std::wstring path =
        TarvText::FromUtf8(ConsolePipePath(static_cast<long>(GetCurrentProcessId())));
    // Only a pipe: the name lies in the pipe file system, where nothing
    // else can be planted, and a pipe without a listener fails at once.
    HANDLE pipe = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return;
    if (GetFileType(pipe) != FILE_TYPE_PIPE) {
      CloseHandle(pipe);
      return;
    }
    g_pipe = pipe;
    g_pipe_open = true;
  }
  ~ConsolePipe() {
    if (g_pipe_open) FlushFileBuffers(g_pipe);
  }
};

ConsolePipe g_console_pipe;

void WriteAll(HANDLE handle, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD put = 0;
    DWORD chunk = static_cast<DWORD>(bytes.size() - done);
    if (!WriteFile(handle, bytes.data() + done, chunk, &put, nullptr) || put == 0) return;
    done += put;  // failures are ignored
  }
}

}  // namespace

bool ConsolePipeOpen() { return g_pipe_open; }

std::string ConsolePipePath(long pid) { return "\\\\.\\pipe\\" + std::to_string(pid) + "cout"; }

void WriteDebuggerOutput(const std::string& utf8_line) {
  OutputDebugStringW(TarvText::FromUtf8(utf8_line).c_str());
}

void WriteStandardOutput(const std::string& bytes) {
  HANDLE handle = g_pipe_open ? g_pipe : GetStdHandle(STD_OUTPUT_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  WriteAll(handle, bytes);
}

}  // namespace TarvDiag
