#include "app/unattended.h"

#include <chrono>
#include <cstdio>

#include "app/exit_codes.h"
#include "app/fatal_error.h"
#include "app/on_exit.h"
#include "app/private_temp_folder.h"
#include "app/signal_cancel.h"
#include "app/standard_output.h"
#include "app/startup.h"
#include "app/startup_duties.h"
#include "data/file_io.h"
#include "os/elevation.h"
#include "os/message_ids.h"
#include "os/messages.h"
#include "os/this_process.h"
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

// Ends the session after a confirmed cancel, as the window's Cancel button
// does. A transfer or the unpacker stops within a second; a step being
// applied is undone first, however long that takes, and later signals do not
// cut the undo short. A worker that has not stopped after the grace while it
// is not applying (a transfer stuck in a system call) is left behind: the
// process ends without joining it, and the game's lock and the installation
// lock go with the process.
int EndCancelled(TerminalFrontEnd& front, const SessionWorker& made, PrivateTempFolder& temp) {
  front.Cancel(Message(TarvMessages::Id::kCancelledCleaningUp));
  APThread* worker = made.thread;
  worker->RequestStop();
  const double deadline = Now() + kCancelGraceMs / 1000.0;
  while (worker->IsAlive()) {
    const bool applying = made.progress != nullptr &&
                          made.progress->GetDownloadStatus().state == DownloadState::kApplying;
    if (!applying && Now() >= deadline) {
      temp.Remove();
      fflush(nullptr);
      OS::ExitNow(kExitCancelled);
    }
    // Further signals only raise the flag again; nothing here acts on them.
    wxThread::Sleep(20);
  }
  worker->Wait();
  delete worker;
  front.ClearProgress();
  return kExitCancelled;
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
    if (SignalCancel::Wait(kTickMs) || front.Cancelled()) return EndCancelled(front, made, temp);
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
  TarvFile::WriteAll(kStandardOutputDescriptor, usage.data(), usage.size());
  return kExitCompleted;
}

int PrintVersion() {
  const std::string version = std::string("tarv-patcher ") + TARV_VERSION + "\n";
  TarvFile::WriteAll(kStandardOutputDescriptor, version.data(), version.size());
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
  // through sudo or pkexec. A copy started through pkexec still works for
  // the player who started it: the configuration reset owed by a recovered
  // step looks in that player's folders.
  steps.check_privileges = [&accepted](const StartupRequest&) {
    OS::Elevation::AdoptInvokingUser();
    return accepted = true;
  };
  steps.create_window = [] { return true; };
  steps.report_error = WriteToStandardError;
  if (!RunStartup(args, settings, &state, steps)) {
    return accepted ? kExitAborted : kExitBadCommandLine;
  }
  int report = TakeStandardOutput(state.request.verbose);
  if (report < 0) report = kStandardOutputDescriptor;
  TerminalFrontEnd front(ChooseStyle(state.request.json, report), report);
  SignalCancel::Install(front.CancelFlag());
  PrivateTempFolder temp;
  const StartupDuties duties =
      RunStartupDuties(settings.GetTargetDirectory().ToStdWstring(), &temp);
  if (duties.lock == InstallationLockResult::kBusy) {
    front.ReportMessage(2, Message(TarvMessages::Id::kAnotherPatcherRuns));
    return kExitAnotherPatcher;
  }
  front.ShowPreamble(settings.BuildStartupSummary());
  for (const auto& [level, text] : duties.lines) front.ReportMessage(level, text);
  const int code = RunSession(front, temp);
  temp.Remove();
  LaunchOnExitProgram(state.request.launch_on_exit, state.request.on_exit_command,
                      WriteToStandardError, nullptr, state.request.start_folder);
  return code;
}

}  // namespace TarvPatch
