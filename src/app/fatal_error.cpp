#include "app/fatal_error.h"

#include <wx/app.h>
#include <wx/msgdlg.h>
#include <wx/thread.h>
#include <wx/utils.h>

#include <atomic>
#include <cstdlib>

#include "app/command_line.h"
#include "app/fatal_box.h"
#include "diag/crash_dump.h"
#include "os/this_process.h"
#include "ui/session_output.h"

namespace TarvPatch {
namespace {

constexpr int kFatalExitCode = -1;  // 255 as the shell sees it

// Lock-free, so usable inside the fatal-signal handler.
std::atomic<bool> g_reporting{false};

void EnableFrameworkHook() { wxHandleFatalExceptions(true); }

// The window-less program's application object is a console one: it is
// asked as such, never cast to the GUI class.
bool BoxCanBeShown() {
  const wxAppConsole* app = wxAppConsole::GetInstance();
  return HasDisplay() && app != nullptr && app->IsGUI();
}

[[noreturn]] void ShowBoxAndExit() {
  ShowApplicationBox(wxS("Fatal Error"), wxS("Unhandled Exception"),
                     [] { wxMessageBox(wxS("Unhandled Exception"), wxS("Fatal Error"), wxOK); });
  OS::ExitNow(kFatalExitCode);
}

}  // namespace

bool SetUpFatalExceptionHandling() {
  // A thread that faulted (its dump written) hands the box to this one.
  if (wxIsMainThread()) ListenForBoxRequests(ShowBoxAndExit);
  return SetUpCrashDump(L"patcher", EnableFrameworkHook);
}

void ReportFatalException() {
  WriteCrashDump();
  // A fault inside the box itself ends the process at once.
  if (!g_reporting && BoxCanBeShown()) {
    g_reporting = true;
    StartExitWatchdog(kFatalBoxSeconds, kFatalExitCode);
    if (wxIsMainThread()) ShowBoxAndExit();
    // The GUI thread shows the box and ends the process; this thread waits.
    HandBoxToGuiThread();
  }
  OS::ExitNow(kFatalExitCode);
}

}  // namespace TarvPatch
