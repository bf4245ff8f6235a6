#include "app/fatal_error.h"

#include <signal.h>
#include <unistd.h>
#include <wx/app.h>
#include <wx/msgdlg.h>
#include <wx/thread.h>
#include <wx/utils.h>

#include <cstdlib>

#include "diag/crash_dump.h"
#include "ui/session_log.h"

namespace TarvPatch {
namespace {

constexpr int kFatalExitCode = -1;  // 255 as the shell sees it

volatile sig_atomic_t g_reporting = 0;

void EnableFrameworkHook() { wxHandleFatalExceptions(true); }

void ExitAfterWatchdog(int) { _exit(kFatalExitCode & 0xff); }

bool BoxCanBeShown() {
  const char* x11 = getenv("DISPLAY");
  const char* wayland = getenv("WAYLAND_DISPLAY");
  bool display = (x11 && *x11) || (wayland && *wayland);
  return display && wxTheApp && wxTheApp->IsGUI() && wxIsMainThread();
}

}  // namespace

bool SetUpFatalExceptionHandling() { return SetUpCrashDump(L"patcher", EnableFrameworkHook); }

void ReportFatalException() {
  WriteCrashDump();
  // A fault inside the box itself ends the process at once.
  if (!g_reporting && BoxCanBeShown()) {
    g_reporting = 1;
    signal(SIGALRM, ExitAfterWatchdog);
    alarm(kFatalBoxSeconds);
    SessionLog::Get().Box(wxS("Fatal Error"), wxS("Unhandled Exception"));
    wxMessageBox(wxS("Unhandled Exception"), wxS("Fatal Error"), wxOK);
  }
  _exit(kFatalExitCode & 0xff);
}

}  // namespace TarvPatch
