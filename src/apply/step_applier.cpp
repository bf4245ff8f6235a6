#include "apply/step_applier.h"

#include "apply/apply_files.h"
#include "apply/file_patcher.h"
#include "apply/patch_path.h"
#include "apply/step_check.h"
#include "crypto/md5.h"
#include "data/file_util.h"
#include "diag/system_log.h"
#include "diag/text_encoding.h"
#include "os/message_ids.h"
#include "os/messages.h"

namespace TarvPatch {

// The step being applied: where it works, who hears of it, its check and
// its journal.
struct OpenStep {
  OpenStep(const std::wstring& install, const std::wstring& project, StepObserver& heard_by)
      : install_dir(install), project_dir(project), observer(heard_by) {}

  const std::wstring& install_dir;
  const std::wstring& project_dir;
  StepObserver& observer;
  CheckedStep checked;
  StepJournal journal;

  std::wstring InstallFs(const std::string& rel) const {
    return TarvUtil::JoinPath(install_dir, TarvUtil::FromFsPath(rel));
  }
  void Line(int level, const std::wstring& text) const { observer.Line(level, text); }
};

namespace {

std::wstring ListPath(const std::wstring& project_dir, const wchar_t* name) {
  return TarvUtil::JoinPath(project_dir, name);
}

// Reads one list and reports why it cannot be used. False ends the caller.
bool ReadList(const std::wstring& path, PatchFileList& list, bool paths_only,
              StepObserver& observer) {
  std::string why;
  switch (ReadPatchFileList(path, list, &why, paths_only)) {
    case ListResult::kOk:
      return true;
    case ListResult::kCannotOpen:
      observer.Line(2, L"Could not open: " + path + L" for reading. the file might not be present");
      return false;
    case ListResult::kBroken:
      observer.Line(2,
                    L"The list file is broken: " + path + L" (" + TarvText::FromUtf8(why) + L")");
      return false;
  }
  return false;
}

// Moves the first entry whose path contains `name` to the end.
void DeferEntry(PatchFileList& list, const std::wstring& name) {
  if (name.empty()) return;
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (it->m_path.find(name) != std::wstring::npos) {
      PatchFileEntry held = std::move(*it);
      list.erase(it);
      list.push_back(std::move(held));
      return;
    }
  }
}

bool AddOne(OpenStep& step, const PatchFileEntry& entry, const PlannedEntry& planned) {
  const StepChange& change = step.checked.plan[planned.change];
  if (!NoLinkOnPath(step.install_dir, change.path, entry.m_path, step.observer)) return false;
  std::wstring source =
      JoinEntryPath(TarvUtil::JoinPath(step.project_dir, L"data"), SplitEntryPath(entry.m_path));
  std::string error;
  if (change.kind == StepChange::Kind::kAside && !step.journal.MoveAside(planned.change, &error)) {
    SystemLogA("step: %s\n", error.c_str());
    step.Line(2, L"Could not copy the file: " + source);
    return false;
  }
  // The list's second line, where the publisher gave it, is the digest the
  // new file must carry; a copy without it never replaces the installed file.
  bool wrong_digest = false;
  auto check = [&](const std::wstring& copy) {
    if (entry.m_newDigest.empty()) return true;
    std::wstring digest;
    if (!TarvCrypto::ComputeFileMD5(copy, digest)) return false;  // unreadable: a failed copy
    wrong_digest = digest != entry.m_newDigest;
    return !wrong_digest;
  };
  // Written inside the journal's folder: a killed copy leaves nothing among
  // the game's files, and the installed file waits in the journal until the
  // step ends, so a failed copy loses nothing. The retry copies over the
  // same temporary.
  const std::wstring target = step.InstallFs(change.path);
  const std::wstring temp = TarvUtil::FromFsPath(step.journal.TempPath());
  if (!CopyFileReplacing(source, target, temp, check) &&
      (wrong_digest || !CopyFileReplacing(source, target, temp, check))) {
    step.Line(2, wrong_digest ? L"The new file does not have the expected checksum: " + source
                              : L"Could not copy the file: " + source);
    return false;
  }
  return true;
}

// Makes the folders of the plan, in order; they come before the files in it.
bool MakeFolders(const OpenStep& step) {
  for (const auto& change : step.checked.plan) {
    if (change.kind != StepChange::Kind::kFolder) continue;
    std::wstring dir = step.InstallFs(change.path);
    if (!NoLinkOnPath(step.install_dir, change.path, TarvUtil::FromFsPath(change.path),
                      step.observer)) {
      return false;
    }
    if (!IsDirectory(dir) && !TarvUtil::MakeDirectory(dir)) {
      step.Line(2, L"Could not create the directory: " + dir);
      return false;
    }
  }
  return true;
}

bool AddFiles(OpenStep& step, const PatchFileList& list) {
  if (!MakeFolders(step)) return false;
  for (size_t i = 0; i < list.size(); ++i) {
    if (!step.observer.Step()) return false;
    if (!AddOne(step, list[i], step.checked.added[i])) {
      step.Line(0, L"Failed adding: " + list[i].m_path + L"...");
      return false;
    }
  }
  return true;
}

bool DeleteFiles(OpenStep& step, const PatchFileList& list) {
  for (size_t i = 0; i < list.size(); ++i) {
    if (!step.observer.Step()) return false;
    const PlannedEntry& planned = step.checked.deleted[i];
    if (planned.missing) {
      step.Line(1, L"File seems to have been removed already: " +
                       JoinEntryPath(step.install_dir, SplitEntryPath(list[i].m_path)));
      continue;
    }
    const std::string& rel = step.checked.plan[planned.change].path;
    if (!NoLinkOnPath(step.install_dir, rel, list[i].m_path, step.observer)) return false;
    std::string error;
    if (!step.journal.MoveAside(planned.change, &error)) {
      SystemLogA("step: %s\n", error.c_str());
      step.Line(2, L"Could not delete: " + step.InstallFs(rel));
      return false;
    }
  }
  return true;
}

bool PatchFiles(OpenStep& step, const PatchFileList& list) {
  for (size_t i = 0; i < list.size(); ++i) {
    if (!step.observer.Step()) return false;
    const PlannedEntry& planned = step.checked.patched[i];
    std::wstring target = step.InstallFs(RelativeFsPath(list[i].m_path));
    if (planned.already_new) {
      step.Line(1, L"Existing file appears to have been patched already: " + target);
      continue;
    }
    const std::string& rel = step.checked.plan[planned.change].path;
    if (!NoLinkOnPath(step.install_dir, rel, list[i].m_path, step.observer)) return false;
    std::string error;
    if (!step.journal.MoveAside(planned.change, &error)) {
      SystemLogA("step: %s\n", error.c_str());
      step.Line(2, L"Could not move the file aside as a backup: " + target);
      return false;
    }
    std::wstring old_copy = TarvUtil::FromFsPath(step.journal.AsidePath(planned.change));
    // The tool writes by name: its folder is looked at again just before.
    if (!NoLinkOnPath(step.install_dir, rel, list[i].m_path, step.observer)) return false;
    if (!RebuildFromCopy(list[i], old_copy, step.install_dir, step.project_dir, step.observer)) {
      return false;
    }
  }
  return true;
}

// The files the caller rewrites inside the step (the uninstaller's log and
// its temporary copy) are read and written by name: none may be a link or
// lie behind one.
bool CallerFilesStayInside(const OpenStep& step, const StepOptions& options) {
  bool ok = true;
  for (const auto* names : {&options.keep, &options.scratch}) {
    for (const auto& name : *names) {
      ok = NoLinkOnPath(step.install_dir, RelativeFsPath(name), name, step.observer) && ok;
    }
  }
  return ok;
}

std::vector<StepChange> WithKeptFiles(std::vector<StepChange> plan, const std::wstring& install_dir,
                                      const StepOptions& options) {
  for (const auto& keep : options.keep) {
    if (KindOfPath(TarvUtil::JoinPath(install_dir, keep)) == FileKind::kRegular) {
      plan.push_back({StepChange::Kind::kKeep, RelativeFsPath(keep)});
    }
  }
  for (const auto& scratch : options.scratch) {
    if (KindOfPath(TarvUtil::JoinPath(install_dir, scratch)) == FileKind::kMissing) {
      plan.push_back({StepChange::Kind::kNew, RelativeFsPath(scratch)});
    }
  }
  return plan;
}

void ReportJournalFailure(StepObserver& observer, int id, const std::string& error,
                          const std::wstring& install_dir) {
  SystemLogA("step: %s\n", error.c_str());
  observer.Line(2, TarvMessages::LoadMessage(id) + install_dir);
}

}  // namespace

StepApplier::StepApplier(std::wstring install_dir, std::wstring project_dir, StepOptions options,
                         StepObserver& observer)
    : m_install(std::move(install_dir)),
      m_project(std::move(project_dir)),
      m_options(std::move(options)),
      m_observer(observer) {}

StepApplier::~StepApplier() = default;

bool StepApplier::Apply(const std::wstring& deferred_name) {
  m_open.reset();
  PatchFileList added, deleted, patched;
  if (!ReadList(ListPath(m_project, L"addedFiles.txt"), added, false, m_observer) ||
      !ReadList(ListPath(m_project, L"deletedFiles.txt"), deleted, false, m_observer) ||
      !ReadList(ListPath(m_project, L"patchedFiles.txt"), patched, false, m_observer)) {
    return false;
  }
  DeferEntry(patched, deferred_name);
  m_observer.Total(static_cast<uint32_t>(added.size() + deleted.size() + patched.size()));
  auto step = std::make_unique<OpenStep>(m_install, m_project, m_observer);
  if (!CheckStep(m_install, m_project, added, deleted, patched, m_options.reserve, m_observer,
                 &step->checked) ||
      !CallerFilesStayInside(*step, m_options)) {
    return false;
  }
  std::string error;
  if (!step->journal.Begin(TarvUtil::FsPath(m_install),
                           WithKeptFiles(step->checked.plan, m_install, m_options),
                           TarvUtil::FsPath(m_options.from_version),
                           TarvUtil::FsPath(m_options.to_version), &error)) {
    ReportJournalFailure(m_observer, TarvMessages::Id::kStepJournalFailed, error, m_install);
    return false;
  }
  m_open = std::move(step);
  return AddFiles(*m_open, added) && DeleteFiles(*m_open, deleted) && PatchFiles(*m_open, patched);
}

bool StepApplier::Commit(const StepJournal::Finish& finish) {
  if (!m_open) return true;
  std::string error;
  if (!m_open->journal.Commit(finish, &error)) {
    ReportJournalFailure(m_observer, TarvMessages::Id::kStepJournalFailed, error, m_install);
    return false;
  }
  m_open.reset();
  return true;
}

UndoResult StepApplier::Undo() {
  std::unique_ptr<OpenStep> step = std::move(m_open);
  if (!step || !step->journal.IsOpen()) return UndoResult::kNothingOpen;
  std::string error;
  if (step->journal.Undo(&error)) return UndoResult::kUndone;
  ReportJournalFailure(m_observer, TarvMessages::Id::kStepUndoFailed, "undo: " + error, m_install);
  return UndoResult::kFailed;
}

bool RecoverInterruptedStep(const std::wstring& install_dir, StepObserver& observer,
                            const StepJournal::Finish& finish) {
  std::string version, error;
  switch (RecoverStep(TarvUtil::FsPath(install_dir), finish, &version, &error)) {
    case RecoveryOutcome::kNothing:
      return true;
    case RecoveryOutcome::kUndone:
      observer.Line(1, FillPlaceholder(TarvMessages::LoadMessage(TarvMessages::Id::kStepReturnedTo),
                                       TarvUtil::FromFsPath(version)));
      return true;
    case RecoveryOutcome::kCompleted:
      observer.Line(
          1, FillPlaceholder(TarvMessages::LoadMessage(TarvMessages::Id::kStepRecoveredCompleted),
                             TarvUtil::FromFsPath(version)));
      return true;
    case RecoveryOutcome::kBusy:
      observer.Line(2, TarvMessages::LoadMessage(TarvMessages::Id::kStepBusy) + install_dir);
      return false;
    case RecoveryOutcome::kFailed:
      break;
  }
  ReportJournalFailure(observer, TarvMessages::Id::kStepRecoveryFailed, "recovery: " + error,
                       install_dir);
  return false;
}

std::wstring FillPlaceholder(const std::wstring& text, const std::wstring& value) {
  std::wstring out = text;
  size_t at = out.find(L"%s");
  if (at != std::wstring::npos) out.replace(at, 2, value);
  return out;
}

PatchFileList ReadAddedFileList(const std::wstring& project_dir, StepObserver& observer) {
  PatchFileList list;
  if (!ReadList(ListPath(project_dir, L"addedFiles.txt"), list, true, observer)) return {};
  PatchFileList kept;
  for (auto& entry : list) {
    if (IsSafeEntryPath(SplitEntryPath(entry.m_path))) kept.push_back(std::move(entry));
  }
  return kept;
}

}  // namespace TarvPatch
