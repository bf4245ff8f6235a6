#include "app/unattended.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "app/exit_codes.h"
#include "app/fatal_error.h"
#include "app/installation_lock.h"
#include "app/on_exit.h"
#include "app/private_temp_folder.h"
#include "app/signal_cancel.h"
#include "app/standard_output.h"
#include "app/startup.h"
#include "data/file_io.h"
#include "os/message_ids.h"
#include "os/messages.h"
#include "session/patch_settings.h"
#include "session/patch_thread.h"
#include "ui/terminal_front_end.h"
#include "ui/terminal_io.h"

namespace TarvPatch {
namespace {

// How often the main thread looks at the session while it waits.
constexpr int kTickMs = 200;
// After a cancel, how long the worker may take to stop what it is doing
// before the process ends regardless (a transfer stops within a second).
constexpr int kCancelGraceMs = 1200;

double Now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

wxString Message(int id) { return wxString(TarvMessages::LoadMessage(id)); }

TerminalFrontEnd::Style ChooseStyle(bool json, int fd) {
  if (json) return TerminalFrontEnd::Style::kJson;
  return IsTerminal(fd) ? TerminalFrontEnd::Style::kTerminal : TerminalFrontEnd::Style::kPlain;
}

// Ends the process after a confirmed cancel: the worker is given a moment
// to stop, then the session's files go with its folder. The worker may still
// be inside a transfer, so the process ends without joining it; the game's
// lock and the installation lock go with the process.
[[noreturn]] void EndCancelled(TerminalFrontEnd& front, APThread* worker, PrivateTempFolder& temp) {
  front.Cancel(Message(TarvMessages::Id::kCancelledCleaningUp));
  worker->RequestStop();
  const double deadline = Now() + kCancelGraceMs / 1000.0;
  while (worker->IsAlive() && Now() < deadline) wxThread::Sleep(20);
  temp.Remove();
  fflush(nullptr);
  _exit(kExitCancelled);
}

// Runs the session to its end on a worker, as the window would.
int RunSession(TerminalFrontEnd& front, PrivateTempFolder& temp) {
  const SessionWorker made = PatchThread::Make(&front);
  APThread* worker = made.thread;
  if (worker->Create() != wxTHREAD_NO_ERROR || worker->Run() != wxTHREAD_NO_ERROR) {
    delete worker;
    return kExitAborted;
  }
  while (!front.WaitFinished(0)) {
    if (SignalCancel::Wait(kTickMs) || front.Cancelled()) EndCancelled(front, worker, temp);
    front.ShowProgress(made.progress->GetDownloadStatus(), Now());
  }
  worker->Wait();
  delete worker;
  front.ClearProgress();
  return front.Completed() ? kExitCompleted : kExitAborted;
}

}  // namespace

int PrintUsage() {
  TarvMessages::SelectLanguage();
  const OptionTable table;
  const std::string usage = (table.Usage() + "\n").utf8_string();
  TarvFile::WriteAll(STDOUT_FILENO, usage.data(), usage.size());
  return kExitCompleted;
}

int PrintVersion() {
  const std::string version = std::string("tarv-patcher ") + TARV_VERSION + "\n";
  TarvFile::WriteAll(STDOUT_FILENO, version.data(), version.size());
  return kExitCompleted;
}

int RunUnattended(const std::vector<wxString>& args) {
  PatchSettings& settings = PatchSettings::Get();
  StartupState state;
  StartupSteps steps;
  bool accepted = false;
  steps.set_up_crash_dumps = [] { SetUpFatalExceptionHandling(); };
  // No elevation prompt here: without write access the session itself
  // reports the access message and ends, and a script may run the patcher
  // through sudo or pkexec.
  steps.check_privileges = [&accepted](const StartupRequest&) { return accepted = true; };
  steps.create_window = [] { return true; };
  steps.report_error = WriteToStandardError;
  if (!RunStartup(args, settings, &state, steps)) {
    return accepted ? kExitAborted : kExitBadCommandLine;
  }
  int report = TakeStandardOutput();
  if (report < 0) report = STDOUT_FILENO;
  TerminalFrontEnd front(ChooseStyle(state.request.json, report), report);
  if (TakeInstallationLock(settings.GetTargetDirectory().ToStdWstring()) ==
      InstallationLockResult::kBusy) {
    front.ReportMessage(2, Message(TarvMessages::Id::kAnotherPatcherRuns));
    return kExitAnotherPatcher;
  }
  PrivateTempFolder temp;
  temp.Create();
  SignalCancel::Install(front.CancelFlag());
  front.ShowPreamble(settings.BuildStartupSummary());
  const int code = RunSession(front, temp);
  temp.Remove();
  LaunchOnExitProgram(state.request.launch_on_exit, state.request.on_exit_command,
                      WriteToStandardError);
  return code;
}

}  // namespace TarvPatch
