// Windows side of elevation: ShellExecuteExW with the verb "runas" puts up
// the system's prompt and starts the program with the administrator token;
// this copy then waits for it and takes its exit code. The elevated copy is
// started by the system, not by us, with the user's own environment, so
// nothing needs to be carried. $TARV_ELEVATION_LAUNCHER, where test hooks
// are allowed, names a program started in the prompt's place (the same
// arguments as pkexec takes on Linux), for tests on systems without one.
#include <windows.h>
// After windows.h, which they need.
#include <shellapi.h>

#include <cstdlib>

#include "diag/system_error.h"
#include "diag/test_hooks.h"
#include "diag/text_encoding.h"
#include "os/elevation.h"
#include "os/process.h"

namespace OS {
namespace {

// The launcher's codes for a declined or failed prompt, as pkexec's.
constexpr int kDismissed = 126;
constexpr int kAuthFailed = 127;

std::string Variable(const char* name) {
  const char* value = getenv(name);
  return value ? value : "";
}

std::string Launcher() {
  if (!TarvDiag::TestHooksAllowed()) return std::string();
  return Variable(Elevation::kLauncherVariable);
}

// The arguments alone, quoted as the elevated program's start-up splits
// them (the program name is passed apart).
std::wstring Parameters(const std::vector<std::string>& args) {
  std::vector<std::wstring> argv = {L""};
  for (const auto& a : args) argv.push_back(TarvText::FromUtf8(a));
  std::wstring line = QuotedCommandLine(argv);
  return line.size() > 3 ? line.substr(3) : std::wstring();  // drop `"" `
}

Elevation::Outcome RunThroughPrompt(const std::string& program,
                                    const std::vector<std::string>& args, int* exit_code,
                                    std::string* error) {
  std::wstring file = TarvText::FromUtf8(program);
  std::wstring parameters = Parameters(args);
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"runas";
  info.lpFile = file.c_str();
  info.lpParameters = parameters.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (!ShellExecuteExW(&info)) {
    DWORD code = GetLastError();
    if (code == ERROR_CANCELLED) return Elevation::Outcome::kDeclined;
    if (error) *error = TarvDiag::SystemErrorText(code);
    return Elevation::Outcome::kNotStarted;
  }
  if (info.hProcess == nullptr) {
    if (error) *error = "the elevated program was handed to another process";
    return Elevation::Outcome::kNotStarted;
  }
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = 0;
  const bool known = GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hProcess);
  if (!known) {
    if (error) *error = "lost track of the elevated program";
    return Elevation::Outcome::kNotStarted;
  }
  if (exit_code) *exit_code = static_cast<int>(code);
  return Elevation::Outcome::kFinished;
}

}  // namespace

std::string FindProgramInPath(const std::string& name) {
  if (name.empty() || name.find_first_of("\\/:") != std::string::npos) return name;
  std::wstring wide = TarvText::FromUtf8(name);
  wchar_t found[MAX_PATH];
  DWORD length = SearchPathW(nullptr, wide.c_str(), L".exe", MAX_PATH, found, nullptr);
  if (length == 0 || length >= MAX_PATH) return std::string();
  return TarvText::ToUtf8(std::wstring(found, length));
}

std::vector<std::string> Elevation::CarriedEnvironment() { return {}; }

std::vector<std::string> Elevation::CommandFor(const std::vector<std::string>& launcher,
                                               const std::string& program,
                                               const std::vector<std::string>& args, bool) {
  std::vector<std::string> argv = launcher;
  argv.push_back(program);
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

std::vector<std::string> Elevation::Command(const std::string& program,
                                            const std::vector<std::string>& args) {
  std::string launcher = Launcher();
  return CommandFor(launcher.empty() ? std::vector<std::string>{}
                                     : std::vector<std::string>{FindProgramInPath(launcher)},
                    program, args, true);
}

void Elevation::AdoptInvokingUser() {}

bool HasPolkitAction(const std::string&, const std::string&) { return false; }

Elevation::Outcome Elevation::Run(const std::string& program, const std::vector<std::string>& args,
                                  int* exit_code, std::string* error) {
  if (Launcher().empty()) return RunThroughPrompt(program, args, exit_code, error);
  std::vector<std::string> argv = Command(program, args);
  if (argv.empty() || argv[0].empty()) {
    if (error) *error = "no elevation launcher found";
    return Outcome::kNoLauncher;
  }
  Process launcher;
  if (!launcher.Start(argv, error)) return Outcome::kNotStarted;
  if (launcher.Wait(-1) != Process::WaitResult::kExited) {
    if (error) *error = "lost track of the elevation launcher";
    return Outcome::kNotStarted;
  }
  int code = launcher.ExitCode();
  if (exit_code) *exit_code = code;
  return code == kDismissed || code == kAuthFailed ? Outcome::kDeclined : Outcome::kFinished;
}

}  // namespace OS
