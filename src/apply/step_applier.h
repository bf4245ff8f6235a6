// The patch applier: brings an installation folder to the state that one
// unpacked patch project describes, as one step that either happens whole or
// not at all. The step is checked before its first change (step_check.h);
// then its plan is journalled (step_journal.h) and the three passes (add,
// delete, patch) run; the first failure or a cancel ends them. The caller
// then commits the open step, or undoes it. Everything the step says or asks
// goes through its observer (step_observer.h); nothing is kept outside the
// object, so each step, recovery or list read stands on its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "apply/patch_list.h"
#include "apply/step_journal.h"
#include "apply/step_observer.h"

namespace TarvPatch {

// What a step keeps beside its own changes: the versions before and after
// it (for the reports of an undo or a recovery), files of the installation
// that the caller rewrites by rename inside the step (kept by a hard link,
// so that an undo puts them back byte for byte), and bytes the caller will
// write, added to the free space the check asks for.
struct StepOptions {
  std::wstring from_version, to_version;
  std::vector<std::wstring> keep;
  // Files the caller may write inside the step under a fixed name and
  // rename away (a temporary copy); an undo removes them.
  std::vector<std::wstring> scratch;
  uint64_t reserve = 0;
};

enum class UndoResult {
  kNothingOpen,  // no change had been made
  kUndone,       // the installation is back at its version before the step
  kFailed,       // reported at level 2; the journal stays for the next start
};

struct OpenStep;

// One step on one installation from one project. Used from one thread; the
// observer must outlive the object. A step left open when the object goes
// stays on disk, journalled, for the next start's recovery.
class StepApplier {
 public:
  StepApplier(std::wstring install_dir, std::wstring project_dir, StepOptions options,
              StepObserver& observer);
  ~StepApplier();
  StepApplier(const StepApplier&) = delete;
  StepApplier& operator=(const StepApplier&) = delete;

  // Applies the project. The first patched entry whose path contains
  // `deferred_name` is handled last. True when every entry of every list was
  // handled and nothing was cancelled; the step is then open and waits for
  // Commit or Undo. A list that cannot be read, or a check that fails, ends
  // the call before any change, with no step open. After any later failure
  // the step is open with part of its changes made: the caller undoes it.
  bool Apply(const std::wstring& deferred_name);

  // Makes the open step durable and drops its journal; `finish`, when set,
  // is what the step does outside the installation once it is committed (it
  // is run again at the next start if this run ends before the journal is
  // gone). False (with a level-2 line) when that failed; the step is then
  // still open. True when no step is open.
  bool Commit(const StepJournal::Finish& finish = {});

  // Undoes the open step in reverse order.
  UndoResult Undo();

 private:
  std::wstring m_install, m_project;
  StepOptions m_options;
  StepObserver& m_observer;
  std::unique_ptr<OpenStep> m_open;
};

// Finishes a journal left in `install_dir` by a run that ended early,
// reporting what was done at level 1 (or 2 when it failed). True when no
// journal is left. `finish` is the committed step's action outside the
// installation, as Commit was given it.
bool RecoverInterruptedStep(const std::wstring& install_dir, StepObserver& observer,
                            const StepJournal::Finish& finish = {});

// `text` with its "%s" replaced by `value`.
std::wstring FillPlaceholder(const std::wstring& text, const std::wstring& value);

// The paths of the project's addedFiles.txt (digests not kept), for the
// uninstaller's record of added files. Entries that the applier refuses
// (leaving the installation) are left out, since they were never added. A
// list that cannot be opened or is broken is reported and gives an empty
// list.
PatchFileList ReadAddedFileList(const std::wstring& project_dir, StepObserver& observer);

}  // namespace TarvPatch
