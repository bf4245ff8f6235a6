// The patcher without a window: the usage, the version, and a whole
// session reported to the terminal (--unattended). Nothing here starts the
// window toolkit, so it runs without a display. Main thread; the toolkit's
// base library must be initialised (wxInitializer) by the caller.
#pragma once

#include <wx/string.h>

#include <vector>

#include "app/command_line.h"

namespace TarvPatch {

// --help: the usage on standard output; 0.
int PrintUsage();
// --version: "tarv-patcher <version>" on standard output; 0.
int PrintVersion();
// One session without a window over the program's arguments (program path
// first); returns the exit code of app/exit_codes.h. Standard output
// carries the session's lines (or JSON lines with --json); a refused
// command line goes to standard error. SIGINT and SIGTERM cancel: the code
// is then 3 and the session's temporary files are gone.
int RunUnattended(const std::vector<wxString>& args);

}  // namespace TarvPatch
