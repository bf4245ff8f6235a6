// The access test run before patching: may this process write the machine's
// installation record, the temporary folder and the installation folder?
// Used by start-up (with --admin), by the elevated relaunch and by every
// session. Safe from any thread; it only opens and closes things.
#pragma once

#include <string>

namespace TarvPatch {

// What stands in the way of patching. Only kNoWriteAccess is something
// elevation can mend; the others are named to the player with their path.
enum class AccessProblem {
  kNone,
  kFolderMissing,       // the installation folder does not exist
  kNotAFolder,          // it names something that is not a folder
  kNoBinaries,          // it has no Binaries folder
  kRegistryUnreadable,  // the machine hive cannot be read completely
  kNoWriteAccess,       // a step of the access test below failed
};

struct AccessCheck {
  AccessProblem problem = AccessProblem::kNone;
  std::wstring path;  // the folder or hive the problem is about
};

// The installation folder must be a folder holding "Binaries", and the
// machine hive must be readable whole; then every step must succeed, in
// this order:
//  1. the machine key "Software\Obelk\Tarv" is created when missing (its
//     outcome is ignored);
//  2. that key opens for writing;
//  3. the temporary folder exists or can be made (TarvUtil::EnsureTempFolder);
//  4. "Binaries/LauncherApp/index.html" in `install_dir` opens for update,
//     created empty when missing (its content is kept).
AccessCheck CheckInstallAccess(const std::wstring& install_dir);

// True when CheckInstallAccess finds no problem.
bool HasInstallAccess(const std::wstring& install_dir);

// The player's text for a problem elevation cannot mend, in the calling
// thread's language and with its path; empty for kNone and kNoWriteAccess.
std::wstring AccessProblemText(const AccessCheck& check);

}  // namespace TarvPatch
