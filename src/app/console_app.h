// The application object of the patcher without a window: the toolkit's
// base library only, so that neither a display nor the window toolkit is
// touched. A fatal signal ends the program as it does with the window (crash
// dump, exit code 255), without a box. Main thread.
#pragma once

#include <wx/app.h>

#include "app/fatal_error.h"

namespace TarvPatch {

class ConsoleApp : public wxAppConsole {
 public:
  void OnFatalException() override { ReportFatalException(); }
  void OnUnhandledException() override { ReportFatalException(); }
};

}  // namespace TarvPatch
