// The developers' trace: printf-style lines sent to the system journal (the
// debugger output of this program) and to standard output, which a listener
// can take over by creating the FIFO "<pid>cout" in $XDG_RUNTIME_DIR (or /tmp)
// before the process starts. Callable from any thread at any time, also during
// static initialisation of other files and after main returns.
#pragma once

#include <string>

// Formats one line (at most 4095 characters including the line break) and
// writes it whole to the journal and to standard output. A "%s" or "%c" in
// the format takes a wide string or character, as the program's other wide
// texts do. Failures are ignored.
void SystemLogW(const wchar_t* format, ...);

// The same with an 8-bit format; "%s" takes an 8-bit (UTF-8) string.
void SystemLogA(const char* format, ...) __attribute__((format(printf, 1, 2)));

namespace TarvDiag {

// The process-wide diagnostics lock, recursive, usable from static
// initialisation on. The assertion and call-stack reports hold it around a
// whole report so that their lines stay together.
class DiagnosticsLock {
 public:
  DiagnosticsLock();
  ~DiagnosticsLock();
  DiagnosticsLock(const DiagnosticsLock&) = delete;
  DiagnosticsLock& operator=(const DiagnosticsLock&) = delete;
};

// True when a console-pipe listener took over standard output at start.
bool ConsolePipeOpen();

// Path of the console pipe that a listener creates for process `pid`.
std::string ConsolePipePath(long pid);

// Writes an already formatted line (with its line break) to both outputs
// under the lock; `wide` is the line's text. Used by the two log functions.
void EmitLine(const std::wstring& wide, const std::string& narrow);

// Platform part: the journal and the standard output handle.
void WriteDebuggerOutput(const std::string& utf8_line);
void WriteStandardOutput(const std::string& bytes);

}  // namespace TarvDiag
