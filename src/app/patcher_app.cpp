#include "app/patcher_app.h"

#include <wx/filefn.h>

#include "app/on_exit.h"
#include "diag/system_log.h"
#include "os/messages.h"
#include "session/patch_settings.h"

namespace TarvPatch {

namespace {
// Command id of the window's cancel notice to the application.
constexpr int kPatchCancelledId = 1;
}  // namespace

wxBEGIN_EVENT_TABLE(ObelkPatcherApp, wxApp)
    EVT_MENU(kPatchCancelledId, ObelkPatcherApp::OnPatchCancelled) wxEND_EVENT_TABLE()

        ObelkPatcherApp::ObelkPatcherApp() = default;
ObelkPatcherApp::~ObelkPatcherApp() = default;

bool ObelkPatcherApp::OnInit() {
  SetUpCrashDumps();
  for (int i = 0; i < argc; ++i) m_args.push_back(argv[i]);
  RepairArguments(m_args);
  TarvMessages::SelectLanguage();
  m_options = std::make_unique<OptionTable>();
  PatchSettings& settings = PatchSettings::Get();
  if (!ReadCommandLine(m_args, *m_options, settings, &m_request, WriteToStandardError)) {
    return false;
  }
  m_onExitCommand = m_request.on_exit_command;
  m_launchOnExit = m_request.launch_on_exit;
  wxString folder = ProgramFolder(m_args.empty() ? wxString() : m_args[0]);
  if (!folder.empty() && !wxSetWorkingDirectory(folder)) {
    SystemLogW(L"Cannot change to the program folder %s\n", folder.wc_str());
  }
  if (!CheckPrivileges()) return false;
  return CreateMainWindow();
}

int ObelkPatcherApp::OnExit() {
  if (m_options) m_options->Clear();
  LaunchOnExitProgram();
  return 0;
}

void ObelkPatcherApp::OnPatchCancelled(wxCommandEvent&) { m_launchOnExit = false; }

void ObelkPatcherApp::LaunchOnExitProgram() {
  TarvPatch::LaunchOnExitProgram(m_launchOnExit, m_onExitCommand, WriteToStandardError);
}

void ObelkPatcherApp::SetUpCrashDumps() {}

bool ObelkPatcherApp::CheckPrivileges() { return true; }

bool ObelkPatcherApp::CreateMainWindow() {
  SystemLogW(L"%s", PatchSettings::Get().BuildStartupSummary().wc_str());
  return false;
}

}  // namespace TarvPatch
