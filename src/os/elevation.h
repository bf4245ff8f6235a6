// OS::Elevation: runs a program with administrator rights through polkit's
// pkexec and waits for it. When a polkit action names the program (the
// installed patcher's, resources/polkit/), pkexec runs it directly under that
// action, which keeps the display; the elevated copy then finds the user's
// folders through PKEXEC_UID (AdoptInvokingUser). Otherwise pkexec runs
// /usr/bin/env, which carries the user's display, registry hive, data folder
// and temporary folder. The launcher can be replaced for tests and other
// desktops by $TARV_ELEVATION_LAUNCHER, a command line (split like a shell's
// words, no expansion) that takes the same arguments as pkexec. On Windows
// the prompt is ShellExecuteExW's "runas", the elevated copy gets the
// user's own environment (nothing is carried), and the launcher variable is
// one program path, obeyed only where test hooks are allowed. One caller
// thread.
#pragma once

#include <string>
#include <vector>

namespace OS {

class Elevation {
 public:
  enum class Outcome {
    kFinished,    // the elevated program ran and ended; its code in exit_code
    kDeclined,    // the launcher ended with 126 or 127: prompt declined or failed
    kNotStarted,  // the launcher could not be started; reason in error
    kNoLauncher,  // there is no launcher (pkexec) on this system
  };

  static constexpr const char* kLauncherVariable = "TARV_ELEVATION_LAUNCHER";

  // The whole argument vector: the launcher, /usr/bin/env with the carried
  // variables, `program` (an absolute path) and `args`.
  static std::vector<std::string> Command(const std::string& program,
                                          const std::vector<std::string>& args);

  // Starts Command(...) and waits without time limit. The launcher's exit
  // code is the elevated program's, except 126 and 127, which pkexec uses
  // for a declined or failed authorisation (kDeclined).
  static Outcome Run(const std::string& program, const std::vector<std::string>& args,
                     int* exit_code, std::string* error);

  // The "NAME=value" entries the elevated program receives through env.
  static std::vector<std::string> CarriedEnvironment();

  // The argument vector for a given launcher: with `direct`, the launcher,
  // `program` and `args`; otherwise /usr/bin/env and CarriedEnvironment come
  // between launcher and program.
  static std::vector<std::string> CommandFor(const std::vector<std::string>& launcher,
                                             const std::string& program,
                                             const std::vector<std::string>& args, bool direct);

  // In a copy started by pkexec as root ($PKEXEC_UID set): points the user
  // hive and the data folder at the invoking user's, unless already set.
  // Does nothing otherwise.
  static void AdoptInvokingUser();
};

// Where polkit looks for action files.
constexpr const char* kPolkitActionsFolder = "/usr/share/polkit-1/actions";

// True when an action file in `actions_folder` names `program` as its
// org.freedesktop.policykit.exec.path.
bool HasPolkitAction(const std::string& program, const std::string& actions_folder);

// The absolute path of `name` in $PATH (or `name` itself when it contains a
// "/"); empty when not found.
std::string FindProgramInPath(const std::string& name);

}  // namespace OS
