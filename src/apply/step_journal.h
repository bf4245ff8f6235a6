// The journal of one patch step: the folder ".tarv-step" inside the
// installation (same file system, so every move is a rename) holds the plan
// of the step, the files the step replaced or deleted, moved aside whole, and
// at the end the commit mark. From it a step is undone in reverse order, or,
// after a killed run, finished at the next start: undone before the commit
// mark, dropped after it. The folder is locked exclusively (flock) while a
// step or a recovery works on it, so one patcher works on an installation at
// a time. Paths in the plan are relative to the installation, with "/".
// One StepJournal per step, used from one thread; every operation reports by
// its result and, where useful, a reason in `error`.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace TarvPatch {

inline constexpr char kStepFolderName[] = ".tarv-step";

// One change the step may make, in the order the step makes them.
struct StepChange {
  enum class Kind {
    kFolder,   // a folder the step creates; undo removes it when empty
    kAside,    // a file the step moves aside (replaced or deleted)
    kRebuilt,  // moved aside and rebuilt by the difference tool, which
               // writes "<path>.part" first; undo removes that too
    kKeep,     // a file rewritten by rename: a hard link (or, on file systems
               // without them, a copy) keeps the old one
    kNew,      // a file the step adds where none was; undo removes it
  };
  Kind kind;
  std::string path;  // relative to the installation
};

class StepJournal {
 public:
  StepJournal() = default;
  ~StepJournal();  // releases the lock; keeps whatever is on disk
  StepJournal(const StepJournal&) = delete;
  StepJournal& operator=(const StepJournal&) = delete;

  // Creates and locks the folder and writes the plan durably (file, then
  // folder), then makes the hard links of the kKeep entries. Nothing of the
  // installation changes before this returns true. `from` and `to` are the
  // versions before and after the step, kept for the reports of a recovery.
  // A journal with a plan left by another run is refused untouched (its
  // commit mark decides at the recovery whether it is undone or completed).
  bool Begin(const std::string& install_dir, const std::vector<StepChange>& plan,
             const std::string& from, const std::string& to, std::string* error);

  // The place inside the journal where change `index` of the plan keeps the
  // old file (kAside, kRebuilt, kKeep).
  std::string AsidePath(size_t index) const;
  // A fresh name inside the journal for a file being written, so that a
  // killed copy leaves nothing in the installation's folders.
  std::string TempPath();

  // Moves plan entry `index` (kAside, kRebuilt) aside. False when it could not be.
  bool MoveAside(size_t index, std::string* error);

  // What a committed step does outside the installation before its journal
  // goes (the reset of the game's configuration). It runs after the commit
  // mark, and again at the next start when a run was killed before the
  // journal was dropped, so it must be safe to run twice; it reports nothing.
  using Finish = std::function<void()>;

  // Makes every change durable with one flush of the file system, then
  // writes the commit mark durably, runs `finish` when it is set and drops
  // the journal. After a true return the step is done for good.
  bool Commit(const Finish& finish, std::string* error);

  // Undoes the plan in reverse order, flushes the file system and drops the
  // journal. False when some change could not be undone; the journal is then
  // kept for the next start.
  bool Undo(std::string* error);

  bool IsOpen() const { return m_dir_fd >= 0; }

 private:
  friend class StepRecovery;
  bool Lock(const std::string& install_dir, std::string* error);
  // False, touching nothing, when the locked folder holds another run's
  // plan; otherwise clears what a run left without one.
  bool TakeOverLeftovers(std::string* error);
  bool BeginLocked(const std::vector<StepChange>& plan, const std::string& from,
                   const std::string& to, std::string* error);
  // Keeps the old file of kKeep entry `index`: a hard link, or a copy
  // where the file system has none.
  bool Keep(size_t index, std::string* error);
  bool UndoPlan(std::string* error);
  bool UndoChange(size_t index, int folder, std::string* error);
  bool Drop(std::string* error);

  std::string m_install;
  std::string m_folder;
  std::string m_from, m_to;
  std::vector<StepChange> m_plan;
  int m_dir_fd = -1;
  size_t m_temps = 0;
};

// What the start-up found in an installation's journal folder.
enum class RecoveryOutcome {
  kNothing,    // no journal
  kUndone,     // a step without its commit mark was undone
  kCompleted,  // a step with its commit mark was finished
  kBusy,       // another patcher holds the journal
  kFailed,     // the journal could not be finished (reason in `error`)
};

// Finishes a journal left by a run that ended early. `version` receives the
// version the installation is at afterwards when the journal names it. A
// committed step whose mark says it had a finishing action gets `finish`
// run before its journal goes; an undone one never does.
RecoveryOutcome RecoverStep(const std::string& install_dir, const StepJournal::Finish& finish,
                            std::string* version, std::string* error);

}  // namespace TarvPatch
