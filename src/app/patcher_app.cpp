#include "app/patcher_app.h"

#include "app/fatal_error.h"
#include "app/on_exit.h"
#include "app/relaunch.h"
#include "diag/system_log.h"
#include "os/messages.h"
#include "session/patch_settings.h"

namespace TarvPatch {

namespace {
// Command id of the window's cancel notice to the application.
constexpr int kPatchCancelledId = 1;
}  // namespace

// clang-format off
wxBEGIN_EVENT_TABLE(ObelkPatcherApp, wxApp)
  EVT_MENU(kPatchCancelledId, ObelkPatcherApp::OnPatchCancelled)
wxEND_EVENT_TABLE()
    // clang-format on

    ObelkPatcherApp::ObelkPatcherApp() = default;
ObelkPatcherApp::~ObelkPatcherApp() = default;

bool ObelkPatcherApp::OnInit() {
  std::vector<wxString> args;
  for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
  StartupSteps steps;
  steps.set_up_crash_dumps = [this] { SetUpCrashDumps(); };
  steps.check_privileges = [this](const StartupRequest& request) {
    m_onExitCommand = request.on_exit_command;
    m_launchOnExit = request.launch_on_exit;
    return CheckPrivileges();
  };
  steps.create_window = [this] { return CreateMainWindow(); };
  steps.report_error = WriteToStandardError;
  return RunStartup(args, PatchSettings::Get(), &m_startup, steps);
}

int ObelkPatcherApp::OnExit() {
  if (m_startup.options) m_startup.options->Clear();
  LaunchOnExitProgram();
  return 0;
}

void ObelkPatcherApp::OnPatchCancelled(wxCommandEvent&) { m_launchOnExit = false; }

void ObelkPatcherApp::LaunchOnExitProgram() {
  TarvPatch::LaunchOnExitProgram(m_launchOnExit, m_onExitCommand, WriteToStandardError);
}

void ObelkPatcherApp::OnFatalException() { ReportFatalException(); }

void ObelkPatcherApp::SetUpCrashDumps() { SetUpFatalExceptionHandling(); }

bool ObelkPatcherApp::CheckPrivileges() {
  RelaunchHooks hooks;
  hooks.show_refusal = ShowPrivilegesRefusal;
  hooks.launch_on_exit = [this] { LaunchOnExitProgram(); };
  return CheckInstallPrivileges(m_startup.request.admin, PatchSettings::Get(), hooks);
}

bool ObelkPatcherApp::CreateMainWindow() {
  SystemLogW(L"%s", PatchSettings::Get().BuildStartupSummary().wc_str());
  return false;
}

}  // namespace TarvPatch
