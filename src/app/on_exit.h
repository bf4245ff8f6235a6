// The program started when the patcher ends (--onexit): its command line is
// split as a shell would split it, but no shell runs it; the patcher waits a
// moment for it to start and never for it to end. GUI thread at exit.
#pragma once

#include <wx/string.h>

#include <functional>

#include "os/process.h"

namespace TarvPatch {

enum class OnExitResult { kNothingToStart, kStarted, kFailed };

// How long the patcher waits for the started program before it ends.
constexpr int kOnExitWaitMs = 1000;

// When `launch` is set and `command` is not empty, splits the command line
// (quotes and backslashes as in a POSIX shell), looks the program up in
// PATH when its name has no folder, starts it in the current folder and
// waits at most kOnExitWaitMs for it. A program named by a relative path
// with a folder ("./game", "bin/game") is taken from `start_folder`, the
// folder the patcher was started in, when one is given. A program that cannot be started is
// reported through `report_error` as the text kErrorCreatingProcess followed by the reason.
// `started` (may be null) receives the started program's process id; the
// program is not reaped here, so its parent may wait for it.
OnExitResult LaunchOnExitProgram(bool launch, const wxString& command,
                                 const std::function<void(const wxString&)>& report_error,
                                 OS::ProcessId* started = nullptr,
                                 const wxString& start_folder = wxString());

// The program file for `name`: itself when it holds a "/" (below
// `start_folder` when relative and a start folder is given), otherwise the
// first executable regular file of that name in $PATH; empty when none.
std::string FindProgram(const std::string& name, const std::string& start_folder = "");

}  // namespace TarvPatch
