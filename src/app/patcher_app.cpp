#include "app/patcher_app.h"

#include <cstdio>

#include "app/command_line.h"
#include "app/exit_codes.h"
#include "app/fatal_error.h"
#include "app/on_exit.h"
#include "app/relaunch.h"
#include "app/startup_duties.h"
#include "diag/system_log.h"
#include "os/exit_cleanup.h"
#include "os/message_ids.h"
#include "os/messages.h"
#include "os/session_folder.h"
#include "os/this_process.h"
#include "session/patch_settings.h"
#include "session/patch_thread.h"
#include "ui/banner.h"
#include "ui/patch_main_frame.h"
#include "ui/window_ids.h"

namespace TarvPatch {
namespace {

// How long a closed window waits for its session to end its step, and the
// exit code of a program closed while its session was applying a patch.
constexpr int kEndingWorkerWaitMs = 10000;
constexpr int kClosedWhileApplyingExitCode = kExitAborted;

}  // namespace

// clang-format off
wxBEGIN_EVENT_TABLE(ObelkPatcherApp, wxApp)
  EVT_MENU(ID_PATCH_CANCELLED, ObelkPatcherApp::OnPatchCancelled)
wxEND_EVENT_TABLE();
// clang-format on

std::optional<int> ObelkPatcherApp::s_startupExitCode;

ObelkPatcherApp::ObelkPatcherApp() = default;
ObelkPatcherApp::~ObelkPatcherApp() = default;

bool ObelkPatcherApp::Initialize(int& argc, wxChar** argv) {
  std::vector<wxString> args(argv, argv + argc);
  RepairArguments(args);
  TarvMessages::SelectLanguage();
  PatchSettings scratch;
  StartupRequest request;
  wxString refusal;
  const OptionTable table;
  // Only the refusal is shown here; start-up reads the line again and
  // reports everything else in its place.
  if (!ReadCommandLine(args, table, scratch, &request,
                       [&refusal](const wxString& text) { refusal = text; })) {
    WriteToStandardError(refusal);
    s_startupExitCode = kExitBadCommandLine;
    return false;
  }
  // Without a display the toolkit would end the process in its own way;
  // the player is told instead where the patcher runs without one.
  if (!HasDisplay()) {
    WriteToStandardError(TarvMessages::LoadMessage(TarvMessages::Id::kNoDisplay));
    s_startupExitCode = kExitBadCommandLine;
    return false;
  }
  return wxApp::Initialize(argc, argv);
}

bool ObelkPatcherApp::OnInit() {
  std::vector<wxString> args;
  args.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
  StartupSteps steps;
  steps.set_up_crash_dumps = [this] { SetUpCrashDumps(); };
  steps.check_privileges = [this](const StartupRequest& request) {
    SetOnExitCommand(request.on_exit_command, request.launch_on_exit, request.start_folder);
    return CheckPrivileges();
  };
  steps.create_window = [this] { return CreateMainWindow(); };
  steps.report_error = WriteToStandardError;
  return RunStartup(args, PatchSettings::Get(), &m_startup, steps);
}

int ObelkPatcherApp::OnExit() {
  if (m_startup.options) m_startup.options->Clear();
  LaunchOnExitProgram();
  EndWithRunningSession();
  return 0;
}

// The program ends when its window has gone, whatever the session is doing:
// the framework would otherwise join a still running worker, which can take
// as long as a network time-out. A running difference tool is stopped and
// the step being applied is undone to its end; a worker in any other phase
// has a moment to stop, and the session's folder goes. Closed while a patch was being applied, the
// exit code tells that the installation did not reach the next version.
void ObelkPatcherApp::EndWithRunningSession() {
  APThread* worker = APThread::Current();
  if (worker == nullptr || !worker->IsRunning()) return;
  const DownloadProgress* progress =
      worker->Generation() == m_workerGeneration ? m_workerProgress : nullptr;
  const bool applying =
      progress != nullptr && progress->GetDownloadStatus().state == DownloadState::kApplying;
  worker->RequestStop();
  OS::RunExitCleanups();
  // A step being applied is undone before the program ends, however long
  // that takes; anything else gets the usual moment.
  for (int waited = 0; worker->IsRunning(); waited += 50) {
    const bool still_applying =
        progress != nullptr && progress->GetDownloadStatus().state == DownloadState::kApplying;
    if (!still_applying && waited >= kEndingWorkerWaitMs) break;
    wxMilliSleep(50);
  }
  TarvUtil::RemoveSessionFoldersNow();
  fflush(nullptr);
  OS::ExitNow(applying ? kClosedWhileApplyingExitCode : 0);
}

void ObelkPatcherApp::SetOnExitCommand(const wxString& command, bool launch,
                                       const wxString& start_folder) {
  m_onExitCommand = command;
  m_launchOnExit = launch;
  m_startFolder = start_folder;
}

void ObelkPatcherApp::OnPatchCancelled(wxCommandEvent&) { m_launchOnExit = false; }

void ObelkPatcherApp::LaunchOnExitProgram() {
  TarvPatch::LaunchOnExitProgram(m_launchOnExit, m_onExitCommand, WriteToStandardError, nullptr,
                                 m_startFolder);
}

void ObelkPatcherApp::OnFatalException() { ReportFatalException(); }

void ObelkPatcherApp::OnUnhandledException() { ReportFatalException(); }

void ObelkPatcherApp::SetUpCrashDumps() { SetUpFatalExceptionHandling(); }

bool ObelkPatcherApp::CheckPrivileges() {
  RelaunchHooks hooks;
  hooks.show_refusal = ShowPrivilegesRefusal;
  hooks.launch_on_exit = [this] { LaunchOnExitProgram(); };
  // This copy ends here without a window: its exit code is the elevated
  // copy's, or that of a session that could not run.
  hooks.elevated_ended = [](int code) { s_startupExitCode = code; };
  if (CheckInstallPrivileges(m_startup.request.admin, PatchSettings::Get(), hooks)) return true;
  if (!s_startupExitCode) s_startupExitCode = kExitAborted;
  return false;
}

bool ObelkPatcherApp::CreateMainWindow() {
  const PatchSettings& settings = PatchSettings::Get();
  FrameSetup setup;
  setup.installFolder = settings.GetTargetDirectory();
  setup.repair = settings.IsRepair();
  setup.localFile = settings.IsLocalFile();
  setup.startupSummary = settings.BuildStartupSummary();
  setup.bannerAddress = BannerAddress();
  setup.makeWorker = [this](SessionFrontEnd* frontEnd) {
    const SessionWorker worker = PatchThread::Make(frontEnd);
    m_workerGeneration = worker.thread->Generation();
    m_workerProgress = worker.progress;
    return worker;
  };
  // A second window on the same installation is left to the session's
  // files-in-use check (and finds the journal busy); the lock tells a
  // window-less patcher that one runs. The access test has run by now: the
  // file it may create is one that no step can have left half made.
  StartupDuties duties = RunStartupDuties(settings.GetTargetDirectory().ToStdWstring(), nullptr);
  setup.startupLines = std::move(duties.lines);
  auto* frame = new PatchMainFrame(this, std::move(setup));
  frame->Show(true);
  SetTopWindow(frame);
  return true;
}

}  // namespace TarvPatch
