#include "app/relaunch.h"

#include <limits.h>
#include <stdlib.h>
#include <wx/msgdlg.h>

#include "diag/system_log.h"
#include "os/elevation.h"
#include "os/message_ids.h"
#include "os/messages.h"
#include "session/install_access.h"
#include "ui/session_log.h"

namespace TarvPatch {
namespace {

namespace Id = TarvMessages::Id;

std::wstring Option(int id) { return L"--" + TarvMessages::LoadMessage(id); }

std::wstring JoinedServers(const PatchSettings& settings) {
  std::wstring joined;
  for (const auto& server : settings.GetServers()) {
    if (!joined.empty()) joined += L";";
    joined += server;
  }
  return joined;
}

std::string Utf8(const std::wstring& text) { return wxString(text).utf8_string(); }

}  // namespace

std::wstring BuildRelaunchParameters(const PatchSettings& settings) {
  std::wstring text = Option(Id::kOptAdmin) + L" ";
  if (settings.IsRepair()) text += Option(Id::kOptRepair) + L" ";
  if (!settings.GetServers().empty()) {
    text += Option(Id::kOptServer) + L"=\"" + JoinedServers(settings) + L"\" ";
  }
  text += Option(Id::kOptFinal) + L"=" + settings.GetFinalVersion().ToStdWstring() + L" ";
  text += settings.GetCurrentVersion().ToStdWstring() + L" \"" +
          settings.GetTargetDirectory().ToStdWstring() + L"\"";
  return text;
}

std::vector<std::string> BuildRelaunchArguments(const PatchSettings& settings) {
  std::vector<std::string> args = {Utf8(Option(Id::kOptAdmin))};
  if (settings.IsRepair()) args.push_back(Utf8(Option(Id::kOptRepair)));
  if (!settings.GetServers().empty()) {
    args.push_back(Utf8(Option(Id::kOptServer) + L"=" + JoinedServers(settings)));
  }
  args.push_back(Utf8(Option(Id::kOptFinal) + L"=") + settings.GetFinalVersion().utf8_string());
  args.push_back(settings.GetCurrentVersion().utf8_string());
  args.push_back(settings.GetTargetDirectory().utf8_string());
  return args;
}

bool RelaunchElevated(const std::string& program, const PatchSettings& settings,
                      const RelaunchHooks& hooks) {
  std::wstring folder = settings.GetTargetDirectory().ToStdWstring();
  bool access = hooks.has_access ? hooks.has_access(folder) : HasInstallAccess(folder);
  if (access) return false;
  std::wstring parameters = BuildRelaunchParameters(settings);
  SystemLogW(L"parm: %s", parameters.c_str());
  int exit_code = -1;
  std::string error;
  OS::Elevation::Outcome outcome =
      OS::Elevation::Run(program, BuildRelaunchArguments(settings), &exit_code, &error);
  if (outcome != OS::Elevation::Outcome::kFinished) {
    if (!error.empty()) SystemLogA("RelaunchElevated> %s", error.c_str());
    if (hooks.show_refusal) hooks.show_refusal();
  }
  if (hooks.launch_on_exit) hooks.launch_on_exit();
  return true;
}

bool CheckInstallPrivileges(bool admin, const PatchSettings& settings, const RelaunchHooks& hooks) {
  OS::Elevation::AdoptInvokingUser();
  if (!admin) return !RelaunchElevated(RunningProgramPath(), settings, hooks);
  std::wstring folder = settings.GetTargetDirectory().ToStdWstring();
  if (hooks.has_access ? hooks.has_access(folder) : HasInstallAccess(folder)) return true;
  if (hooks.show_refusal) hooks.show_refusal();
  return false;
}

void ShowPrivilegesRefusal() {
  wxString text = TarvMessages::LoadMessage(Id::kNoPrivileges);
  wxString caption = TarvMessages::LoadMessage(Id::kRequiresAdminCaption);
  SessionLog::Get().Box(caption, text);
  wxMessageDialog box(nullptr, text, caption, wxOK | wxCENTRE);
  box.ShowModal();
}

std::string RunningProgramPath() {
  char path[PATH_MAX];
  return realpath("/proc/self/exe", path) ? std::string(path) : std::string();
}

}  // namespace TarvPatch
