// OS::Elevation: runs a program with administrator rights through polkit's
// pkexec and waits for it. pkexec starts programs with a clean environment as
// root, so the command carries the user's display and the locations of the
// user's registry hive, data folder and temporary folder through
// /usr/bin/env. The launcher can be replaced for tests and other desktops by
// $TARV_ELEVATION_LAUNCHER, a command line (split like a shell's words, no
// expansion) that takes the same arguments as pkexec. One caller thread.
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

  // The "NAME=value" entries the elevated program receives.
  static std::vector<std::string> CarriedEnvironment();
};

// The absolute path of `name` in $PATH (or `name` itself when it contains a
// "/"); empty when not found.
std::string FindProgramInPath(const std::string& name);

}  // namespace OS
