#include "app/fatal_error.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#include <wx/app.h>
#include <wx/msgdlg.h>
#include <wx/thread.h>
#include <wx/utils.h>

#include <cstdlib>

#include "app/command_line.h"
#include "diag/crash_dump.h"
#include "ui/session_output.h"

namespace TarvPatch {
namespace {

constexpr int kFatalExitCode = -1;  // 255 as the shell sees it

volatile sig_atomic_t g_reporting = 0;

// The GUI thread, which alone may show the box, and the signal by which a
// fault on another thread hands the box to it.
pthread_t g_guiThread;
volatile sig_atomic_t g_guiThreadKnown = 0;
int BoxSignal() { return SIGRTMIN + 2; }

void EnableFrameworkHook() { wxHandleFatalExceptions(true); }

void ExitAfterWatchdog(int) { _exit(kFatalExitCode & 0xff); }

bool BoxCanBeShown() { return HasDisplay() && wxTheApp && wxTheApp->IsGUI(); }

[[noreturn]] void ShowBoxAndExit() {
  ShowApplicationBox(wxS("Fatal Error"), wxS("Unhandled Exception"),
                     [] { wxMessageBox(wxS("Unhandled Exception"), wxS("Fatal Error"), wxOK); });
  _exit(kFatalExitCode & 0xff);
}

// On the GUI thread, asked by a thread that faulted (its dump is written).
void OnBoxSignal(int) { ShowBoxAndExit(); }

void ListenForBoxRequests() {
  g_guiThread = pthread_self();
  struct sigaction action = {};
  action.sa_handler = OnBoxSignal;
  sigemptyset(&action.sa_mask);
  if (sigaction(BoxSignal(), &action, nullptr) == 0) g_guiThreadKnown = 1;
}

}  // namespace

bool SetUpFatalExceptionHandling() {
  if (wxIsMainThread()) ListenForBoxRequests();
  return SetUpCrashDump(L"patcher", EnableFrameworkHook);
}

void ReportFatalException() {
  WriteCrashDump();
  // A fault inside the box itself ends the process at once.
  if (!g_reporting && BoxCanBeShown()) {
    g_reporting = 1;
    signal(SIGALRM, ExitAfterWatchdog);
    alarm(kFatalBoxSeconds);
    if (wxIsMainThread()) ShowBoxAndExit();
    // The GUI thread shows the box and ends the process; this thread waits.
    if (g_guiThreadKnown && pthread_kill(g_guiThread, BoxSignal()) == 0) {
      for (;;) pause();
    }
  }
  _exit(kFatalExitCode & 0xff);
}

}  // namespace TarvPatch
