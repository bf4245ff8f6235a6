// The patch applier: brings an installation folder to the state that one
// unpacked patch project describes, in three passes (add, delete, patch).
// Every problem is one message and the pass goes on; only a cancel and a
// list that cannot be read end it early. Module state is process-wide and
// unguarded: callbacks are installed before the worker thread applies, and
// only one ApplyPatchProject runs at a time, on that worker thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "apply/patch_list.h"

namespace TarvPatch {

// Called once per ApplyPatchProject with the number of entries of all lists.
using TotalCallback = std::function<void(uint32_t count)>;
// Called before each entry of each pass; false means the user cancelled.
using StepCallback = std::function<bool()>;
// Receives each message as one finished line: level 0 plain, 1 minor, 2 error.
using MessageCallback = std::function<void(int level, const std::wstring& text)>;

// Installs the callbacks (any may be empty). Always true.
bool SetPatchCallbacks(TotalCallback total, StepCallback step, MessageCallback message);

// The message route of the applier, also used by the start-up code: the
// message callback when installed, otherwise one line on standard output
// (level 0) or standard error (levels 1 and 2).
void ReportPatchMessage(int level, const std::wstring& text);

// Applies the project in `project_dir` to `install_dir`. The first patched
// entry whose path contains `deferred_name` is handled last. True when every
// entry of every list was handled without failure and nothing was cancelled.
// A list that cannot be opened, or is broken, ends the call before any
// change.
bool ApplyPatchProject(const std::wstring& install_dir, const std::wstring& project_dir,
                       const std::wstring& deferred_name);

// The three passes over the folders of the last ApplyPatchProject. Each is
// true when no entry failed and no cancel came.
bool AddFiles(const PatchFileList& list);
bool DeleteFiles(const PatchFileList& list);
bool PatchFiles(const PatchFileList& list);

// The paths of the project's addedFiles.txt (digests not kept), for the
// uninstaller's record of added files. Entries that the applier refuses
// (leaving the installation) are left out, since they were never added. A
// list that cannot be opened or is broken is reported and gives an empty
// list.
PatchFileList ReadAddedFileList(const std::wstring& project_dir);

}  // namespace TarvPatch
