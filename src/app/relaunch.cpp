#include "app/relaunch.h"

#include <wx/msgdlg.h>

#include "data/file_status.h"
#include "diag/system_log.h"
#include "inet/url.h"
#include "os/elevation.h"
#include "os/message_ids.h"
#include "os/messages.h"
#include "os/this_process.h"
#include "session/install_access.h"
#include "ui/session_output.h"

namespace TarvPatch {
namespace {

namespace Id = TarvMessages::Id;

std::wstring Option(int id) { return L"--" + TarvMessages::LoadMessage(id); }

std::string Utf8(const std::wstring& text) { return wxString(text).utf8_string(); }

std::wstring JoinedServers(const PatchSettings& settings, bool shown) {
  std::wstring joined;
  for (const auto& server : settings.GetServers()) {
    if (!joined.empty()) joined += L";";
    joined += shown ? wxString::FromUTF8(TarvInet::RedactUrl(Utf8(server))).ToStdWstring() : server;
  }
  return joined;
}

AccessCheck Check(const RelaunchHooks& hooks, const std::wstring& folder) {
  if (hooks.check_access) return hooks.check_access(folder);
  if (!hooks.has_access) return CheckInstallAccess(folder);
  if (hooks.has_access(folder)) return {};
  return {AccessProblem::kNoWriteAccess, folder};
}

void ShowBox(const RelaunchHooks& hooks, const std::wstring& text, int caption) {
  const std::wstring shown = TarvMessages::LoadMessage(caption);
  if (hooks.show_box) {
    hooks.show_box(text, shown);
  } else {
    ShowPatcherBox(text, shown);
  }
}

// Tells the player why this instance cannot patch.
void Refuse(const RelaunchHooks& hooks, const AccessCheck& check) {
  const std::wstring text = AccessProblemText(check);
  if (!text.empty()) {
    ShowBox(hooks, text, TarvMessages::Id::kInstallProblemCaption);
  } else if (hooks.show_refusal) {
    hooks.show_refusal();
  }
}

void RunElevatedCopy(const std::string& program, const PatchSettings& settings,
                     const RelaunchHooks& hooks);

}  // namespace

// The speed cap, named the same in every language, in bytes per second.
constexpr wchar_t kLimitRateOption[] = L"--limit-rate";

std::wstring BuildRelaunchParameters(const PatchSettings& settings) {
  std::wstring text = Option(Id::kOptAdmin) + L" ";
  if (settings.IsRepair()) text += Option(Id::kOptRepair) + L" ";
  if (settings.IsLocalFile()) {
    text += Option(Id::kOptPatch) + L"=\"" + settings.GetManualPatchPath() + L"\" ";
  } else if (!settings.GetServers().empty()) {
    text += Option(Id::kOptServer) + L"=\"" + JoinedServers(settings, true) + L"\" ";
  }
  if (settings.GetDownloadLimit() != 0) {
    text +=
        std::wstring(kLimitRateOption) + L"=" + std::to_wstring(settings.GetDownloadLimit()) + L" ";
  }
  text += Option(Id::kOptFinal) + L"=" + settings.GetFinalVersion().ToStdWstring() + L" ";
  text += settings.GetCurrentVersion().ToStdWstring() + L" \"" +
          settings.GetTargetDirectory().ToStdWstring() + L"\"";
  return text;
}

std::vector<std::string> BuildRelaunchArguments(const PatchSettings& settings) {
  std::vector<std::string> args = {Utf8(Option(Id::kOptAdmin))};
  if (settings.IsRepair()) args.push_back(Utf8(Option(Id::kOptRepair)));
  // The command line takes either a patch folder or servers; servers read
  // from a list file arrive in the elevated copy as one --server value.
  if (settings.IsLocalFile()) {
    args.push_back(Utf8(Option(Id::kOptPatch) + L"=" + settings.GetManualPatchPath()));
  } else if (!settings.GetServers().empty()) {
    args.push_back(Utf8(Option(Id::kOptServer) + L"=" + JoinedServers(settings, false)));
  }
  if (settings.GetDownloadLimit() != 0) {
    args.push_back(Utf8(kLimitRateOption) + "=" + std::to_string(settings.GetDownloadLimit()));
  }
  args.push_back(Utf8(Option(Id::kOptFinal) + L"=") + settings.GetFinalVersion().utf8_string());
  args.push_back(settings.GetCurrentVersion().utf8_string());
  args.push_back(settings.GetTargetDirectory().utf8_string());
  return args;
}

bool RelaunchElevated(const std::string& program, const PatchSettings& settings,
                      const RelaunchHooks& hooks) {
  const AccessCheck check = Check(hooks, settings.GetTargetDirectory().ToStdWstring());
  if (check.problem == AccessProblem::kNone) return false;
  if (check.problem != AccessProblem::kNoWriteAccess) {
    Refuse(hooks, check);  // no elevated copy could do better
  } else {
    RunElevatedCopy(program, settings, hooks);
  }
  if (hooks.launch_on_exit) hooks.launch_on_exit();
  return true;
}

namespace {

void RunElevatedCopy(const std::string& program, const PatchSettings& settings,
                     const RelaunchHooks& hooks) {
  std::wstring parameters = BuildRelaunchParameters(settings);
  SystemLogW(L"parm: %s", parameters.c_str());
  int exit_code = -1;
  std::string error;
  const OS::Elevation::Outcome outcome =
      OS::Elevation::Run(program, BuildRelaunchArguments(settings), &exit_code, &error);
  if (!error.empty()) SystemLogA("RelaunchElevated> %s", error.c_str());
  switch (outcome) {
    case OS::Elevation::Outcome::kFinished:
      if (hooks.elevated_ended) hooks.elevated_ended(exit_code);
      return;
    case OS::Elevation::Outcome::kNoLauncher:
      ShowBox(hooks, TarvMessages::LoadMessage(TarvMessages::Id::kElevationUnavailable),
              Id::kRequiresAdminCaption);
      return;
    case OS::Elevation::Outcome::kDeclined:
      SystemLogA("RelaunchElevated> pkexec ended with %d", exit_code);
      ShowBox(hooks,
              TarvMessages::LoadMessage(TarvMessages::Id::kElevationCouldNotRun) +
                  wxString::FromUTF8(program).ToStdWstring(),
              Id::kRequiresAdminCaption);
      return;
    case OS::Elevation::Outcome::kNotStarted:
      if (hooks.show_refusal) hooks.show_refusal();
      return;
  }
}

}  // namespace

bool CheckInstallPrivileges(bool admin, const PatchSettings& settings, const RelaunchHooks& hooks) {
  OS::Elevation::AdoptInvokingUser();
  if (!admin) return !RelaunchElevated(RunningProgramPath(), settings, hooks);
  const AccessCheck check = Check(hooks, settings.GetTargetDirectory().ToStdWstring());
  if (check.problem == AccessProblem::kNone) return true;
  Refuse(hooks, check);
  return false;
}

void ShowPrivilegesRefusal() {
  ShowPatcherBox(TarvMessages::LoadMessage(Id::kNoPrivileges),
                 TarvMessages::LoadMessage(Id::kRequiresAdminCaption));
}

void ShowPatcherBox(const std::wstring& text, const std::wstring& caption) {
  ShowApplicationBox(caption, text, [&] {
    wxMessageDialog box(nullptr, text, caption, wxOK | wxCENTRE);
    box.ShowModal();
  });
}

std::string RunningProgramPath() {
  // The file as it is now: one deleted or moved since the start is no
  // program to start again.
  const std::string path = OS::ExecutablePath();
  return !path.empty() && TarvFile::EntryExists(path) ? path : std::string();
}

}  // namespace TarvPatch
