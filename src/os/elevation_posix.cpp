#include <dirent.h>
#include <pwd.h>
#include <unistd.h>
#include <wx/cmdline.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "os/elevation.h"
#include "os/process.h"
#include "os/registry.h"

namespace OS {
namespace {

// pkexec's codes for "not authorised or dismissed" and "authentication failed".
constexpr int kDismissed = 126;
constexpr int kAuthFailed = 127;

std::string Variable(const char* name) {
  const char* value = getenv(name);
  return value ? value : "";
}

std::vector<std::string> LauncherWords() {
  std::string replaced = Variable(Elevation::kLauncherVariable);
  if (replaced.empty()) return {FindProgramInPath("pkexec")};
  std::vector<std::string> words;
  for (const wxString& word :
       wxCmdLineParser::ConvertStringToArgs(wxString::FromUTF8(replaced), wxCMD_LINE_SPLIT_UNIX)) {
    words.push_back(word.utf8_string());
  }
  if (!words.empty()) words[0] = FindProgramInPath(words[0]);
  return words;
}

}  // namespace

std::string FindProgramInPath(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos) return name;
  std::string path = Variable("PATH");
  if (path.empty()) path = "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string dir = path.substr(start, end - start);
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

std::vector<std::string> Elevation::CarriedEnvironment() {
  std::vector<std::string> env;
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "LANG", "LC_ALL",
                           "TEMP", "TARV_PATCHER_LOG", "OBELK_MACHINE_REGISTRY"}) {
    std::string value = Variable(name);
    if (!value.empty()) env.push_back(std::string(name) + "=" + value);
  }
  // Without these the elevated copy would look in root's home instead of
  // the user's: for the display's cookie, the user hive and the data folder.
  std::string home = Variable("HOME");
  std::string xauthority = Variable("XAUTHORITY");
  if (xauthority.empty() && !home.empty() && access((home + "/.Xauthority").c_str(), R_OK) == 0) {
    xauthority = home + "/.Xauthority";
  }
  if (!xauthority.empty()) env.push_back("XAUTHORITY=" + xauthority);
  env.push_back("OBELK_USER_REGISTRY=" + RegistryHivePath(RegistryHive::kUser));
  std::string data = Variable("XDG_DATA_HOME");
  if (data.empty() && !home.empty()) data = home + "/.local/share";
  if (!data.empty()) env.push_back("XDG_DATA_HOME=" + data);
  return env;
}

std::vector<std::string> Elevation::CommandFor(const std::vector<std::string>& launcher,
                                               const std::string& program,
                                               const std::vector<std::string>& args, bool direct) {
  std::vector<std::string> argv = launcher;
  if (!direct) {
    argv.push_back("/usr/bin/env");
    for (const auto& entry : CarriedEnvironment()) argv.push_back(entry);
  }
  argv.push_back(program);
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

std::vector<std::string> Elevation::Command(const std::string& program,
                                            const std::vector<std::string>& args) {
  bool replaced = !Variable(kLauncherVariable).empty();
  bool direct = !replaced && HasPolkitAction(program, kPolkitActionsFolder);
  return CommandFor(LauncherWords(), program, args, direct);
}

void Elevation::AdoptInvokingUser() {
  std::string uid = Variable("PKEXEC_UID");
  if (uid.empty() || getuid() != 0) return;
  char* end = nullptr;
  unsigned long number = strtoul(uid.c_str(), &end, 10);
  if (*end != 0) return;
  passwd entry, *found = nullptr;
  char buffer[4096];
  if (getpwuid_r(static_cast<uid_t>(number), &entry, buffer, sizeof buffer, &found) != 0 ||
      !found || !found->pw_dir || found->pw_dir[0] != '/') {
    return;
  }
  std::string home = found->pw_dir;
  setenv("OBELK_USER_REGISTRY", (home + "/.config/obelk/registry.conf").c_str(), 0);
  setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 0);
}

bool HasPolkitAction(const std::string& program, const std::string& actions_folder) {
  if (program.empty()) return false;
  const std::string wanted = "\"org.freedesktop.policykit.exec.path\">" + program + "</annotate>";
  DIR* dir = opendir(actions_folder.c_str());
  if (!dir) return false;
  bool found = false;
  while (dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name.size() < 7 || name.compare(name.size() - 7, 7, ".policy") != 0) continue;
    std::string path = actions_folder;
    path += "/";
    path += name;
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    if (text.str().find(wanted) != std::string::npos) {
      found = true;
      break;
    }
  }
  closedir(dir);
  return found;
}

Elevation::Outcome Elevation::Run(const std::string& program, const std::vector<std::string>& args,
                                  int* exit_code, std::string* error) {
  std::vector<std::string> argv = Command(program, args);
  if (argv.empty() || argv[0].empty()) {
    if (error) *error = "no elevation launcher (pkexec) found";
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
