#include "app/on_exit.h"

#include <wx/cmdline.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "data/file_status.h"
#include "os/message_ids.h"
#include "os/messages.h"
#include "os/process.h"

namespace TarvPatch {

namespace {

bool IsExecutableFile(const std::string& path) {
  TarvFile::FileStatus info;
  return TarvFile::StatusOf(path, &info) && info.type == TarvFile::FileType::kRegular &&
         TarvFile::IsExecutable(path);
}

std::string Utf8(const wxString& text) { return text.utf8_string(); }

}  // namespace

std::string FindProgram(const std::string& name, const std::string& start_folder) {
  if (name.find('/') != std::string::npos) {
    const bool relative = name[0] != '/';
    return relative && !start_folder.empty() ? start_folder + "/" + name : name;
  }
  if (name.empty()) return name;
  const char* path_env = std::getenv("PATH");
  std::string path = path_env != nullptr ? path_env : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= path.size()) {
    size_t colon = path.find(':', start);
    std::string folder = path.substr(start, colon == std::string::npos ? colon : colon - start);
    std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + name;
    if (IsExecutableFile(candidate)) return candidate;
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return std::string();
}

OnExitResult LaunchOnExitProgram(bool launch, const wxString& command,
                                 const std::function<void(const wxString&)>& report_error,
                                 OS::ProcessId* started, const wxString& start_folder) {
  if (!launch || command.empty()) return OnExitResult::kNothingToStart;
  wxArrayString args = wxCmdLineParser::ConvertStringToArgs(command, wxCMD_LINE_SPLIT_UNIX);
  if (args.empty()) return OnExitResult::kNothingToStart;
  std::vector<std::string> argv;
  for (const wxString& arg : args) argv.push_back(Utf8(arg));
  std::string program = FindProgram(argv[0], Utf8(start_folder));
  argv[0] = program.empty() ? argv[0] : program;
  OS::Process process;
  std::string error;
  if (program.empty() || !process.Start(argv, &error)) {
    if (program.empty()) error = "program not found: " + Utf8(args[0]);
    report_error(wxString(TarvMessages::LoadMessage(TarvMessages::Id::kErrorCreatingProcess)) +
                 wxString::FromUTF8(error));
    return OnExitResult::kFailed;
  }
  if (started != nullptr) *started = process.Pid();
  process.Wait(kOnExitWaitMs);
  return OnExitResult::kStarted;
}

}  // namespace TarvPatch
