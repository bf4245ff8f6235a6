// The access test run before patching: may this process write the machine's
// installation record, the temporary folder and the installation folder?
// Used by start-up (with --admin), by the elevated relaunch and by every
// session. Safe from any thread; it only opens and closes things.
#pragma once

#include <string>

namespace TarvPatch {

// True when every step succeeds, in this order:
//  1. the machine key "Software\Obelk\Tarv" is created when missing (its
//     outcome is ignored);
//  2. that key opens for writing;
//  3. the temporary folder exists or can be made (TarvUtil::EnsureTempFolder);
//  4. "Binaries/LauncherApp/index.html" in `install_dir` opens for update,
//     created empty when missing (its content is kept).
// False at the first step that fails.
bool HasInstallAccess(const std::wstring& install_dir);

}  // namespace TarvPatch
