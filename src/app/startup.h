// The start-up sequence of the patcher in its order, apart from the
// application object so that it can run without a window: crash-dump
// set-up, argument repair, language, command line, program folder,
// privileges, window. GUI thread, once per process.
#pragma once

#include <wx/string.h>

#include <functional>
#include <memory>
#include <vector>

#include "app/command_line.h"

namespace TarvPatch {

class PatchSettings;

// The steps that the application object supplies.
struct StartupSteps {
  std::function<void()> set_up_crash_dumps;
  std::function<bool(const StartupRequest& request)> check_privileges;
  std::function<bool()> create_window;
  std::function<void(const wxString&)> report_error;
};

// What start-up leaves to the application object.
struct StartupState {
  std::vector<wxString> args;  // after repair, program path first
  std::unique_ptr<OptionTable> options;
  StartupRequest request;
};

// Runs the sequence over the program's arguments; false when a step ended
// start-up (a refused command line, refused privileges, no window). The
// current folder becomes the program's folder after the command line has
// been read, so that relative names on it are taken from the folder the
// program was started in.
bool RunStartup(const std::vector<wxString>& raw_args, PatchSettings& settings, StartupState* state,
                const StartupSteps& steps);

}  // namespace TarvPatch
