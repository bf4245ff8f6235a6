// The per-file procedure of the patched-files pass: decides by the MD5
// digest whether an installed file is in the old state, already new, or
// neither; moves an old file aside as a backup and has the difference tool
// (`<installation>/Binaries/jpatchl-w32.exe`) rebuild it; accepts the result
// only when the rebuilt file carries the new digest, and otherwise puts the
// backup back. Runs on the applier's thread; reports through
// ReportPatchMessage.
#pragma once

#include <functional>
#include <string>

#include "apply/patch_list.h"

namespace TarvPatch {

enum class PatchOutcome { kDone, kAlreadyNew, kFailed };

PatchOutcome PatchInstalledFile(const PatchFileEntry& entry, const std::wstring& install_dir,
                                const std::wstring& project_dir);

// Installs the query asked while the difference tool runs (every 100 ms):
// when it answers true the tool is killed, the backup put back and the
// entry fails. Empty: the tool runs to its end. Set before the applier's
// thread starts.
void SetPatchCancelQuery(std::function<bool()> cancelled);

// The command line shown when the tool cannot start: the tool path as it
// is, then the three paths, each quoted and preceded by a blank.
std::wstring RenderPatchCommand(const std::wstring& tool, const std::wstring& backup,
                                const std::wstring& diff, const std::wstring& target);

// The texts appended to the entry's path for the tool's exit codes 1 to 4;
// empty for any other code.
std::wstring PatchToolExitText(int exit_code);

}  // namespace TarvPatch
