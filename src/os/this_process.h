// The running program itself: where its file is, how it writes to its
// standard error without any buffer, and how it ends at once. For the exit
// paths of the patcher and the tools, which must not run destructors of
// objects other threads still use. Any thread.
#pragma once
#include <string>
#include <string_view>

namespace OS {

// The absolute path of this program's file with links resolved, as the
// system recorded it at the start (on Linux a file deleted since then is
// named with " (deleted)" appended); empty when the system cannot tell.
std::string ExecutablePath();

// Writes all of `bytes` to standard error unbuffered; stops at the first
// write that fails. Safe in a signal handler.
void WriteStandardError(std::string_view bytes);

// Ends the process with exit status `code` & 0xff: no exit handlers, no
// destructors, no stream flushed. Safe in a signal handler.
[[noreturn]] void ExitNow(int code);

}  // namespace OS
