// The rebuild of one patched file: the difference tool
// (`<installation>/Binaries/jpatchl-w32.exe`) makes the new file from the old
// one, which the step's journal has moved aside, and the result counts only
// when it carries the new digest. Whether a file may be patched (old digest,
// already new, damaged) is the step check's (step_check.h). Runs on the
// applier's thread; reports to the step's observer, which is also asked
// while the tool runs whether to stop it.
#pragma once

#include <string>

#include "apply/patch_list.h"
#include "apply/step_observer.h"

namespace TarvPatch {

// Rebuilds the installed file of `entry` from `old_copy`, the old file
// already moved out of the way, with the difference tool; true when the
// rebuilt file carries the new digest. Each failure is reported once (level
// 2, with the tool's command line when it could not start); nothing is put
// back (the caller's journal does that). When the observer asks for a
// cancel while the tool runs, the tool is killed and the entry fails
// without a line of its own.
bool RebuildFromCopy(const PatchFileEntry& entry, const std::wstring& old_copy,
                     const std::wstring& install_dir, const std::wstring& project_dir,
                     StepObserver& observer);

// The command line shown when the tool cannot start: the tool path as it
// is, then the three paths, each quoted and preceded by a blank.
std::wstring RenderPatchCommand(const std::wstring& tool, const std::wstring& backup,
                                const std::wstring& diff, const std::wstring& target);

// The texts appended to the entry's path for the tool's exit codes 1 to 4;
// empty for any other code.
std::wstring PatchToolExitText(int exit_code);

}  // namespace TarvPatch
