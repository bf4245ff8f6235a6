#include "apply/patch_applier.h"

#include <cstdio>
#include <memory>

#include "apply/apply_files.h"
#include "apply/file_patcher.h"
#include "apply/patch_path.h"
#include "apply/step_check.h"
#include "apply/step_journal.h"
#include "crypto/md5.h"
#include "data/file_util.h"
#include "diag/system_log.h"
#include "diag/text_encoding.h"
#include "os/message_ids.h"
#include "os/messages.h"

namespace TarvPatch {
namespace {

struct ModuleState {
  std::wstring install_dir;
  std::wstring project_dir;
  StepOptions options;
  TotalCallback total;
  StepCallback step;
  MessageCallback message;
};

ModuleState& State() {
  static ModuleState state;
  return state;
}

bool Step() { return !State().step || State().step(); }

std::wstring ListPath(const std::wstring& project_dir, const wchar_t* name) {
  return TarvUtil::JoinPath(project_dir, name);
}

// Reads one list and reports why it cannot be used. False ends the caller.
bool ReadList(const std::wstring& path, PatchFileList& list, bool paths_only) {
  std::string why;
  switch (ReadPatchFileList(path, list, &why, paths_only)) {
    case ListResult::kOk:
      return true;
    case ListResult::kCannotOpen:
      ReportPatchMessage(
          2, L"Could not open: " + path + L" for reading. the file might not be present");
      return false;
    case ListResult::kBroken:
      ReportPatchMessage(
          2, L"The list file is broken: " + path + L" (" + TarvText::FromUtf8(why) + L")");
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

// The step being applied: its check, its journal, and whether it is open.
struct OpenStep {
  CheckedStep checked;
  StepJournal journal;
};

std::unique_ptr<OpenStep>& Current() {
  static std::unique_ptr<OpenStep> step;
  return step;
}

std::wstring InstallFs(const std::string& rel) {
  return TarvUtil::JoinPath(State().install_dir, TarvUtil::FromFsPath(rel));
}

bool AddOne(OpenStep& step, const PatchFileEntry& entry, const PlannedEntry& planned) {
  const StepChange& change = step.checked.plan[planned.change];
  if (!NoLinkOnPath(State().install_dir, change.path, entry.m_path)) return false;
  std::wstring source =
      JoinEntryPath(TarvUtil::JoinPath(State().project_dir, L"data"), SplitEntryPath(entry.m_path));
  std::string error;
  if (change.kind == StepChange::Kind::kAside && !step.journal.MoveAside(planned.change, &error)) {
    SystemLogA("step: %s\n", error.c_str());
    ReportPatchMessage(2, L"Could not copy the file: " + source);
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
  const std::wstring target = InstallFs(change.path);
  const std::wstring temp = TarvUtil::FromFsPath(step.journal.TempPath());
  if (!CopyFileReplacing(source, target, temp, check) &&
      (wrong_digest || !CopyFileReplacing(source, target, temp, check))) {
    ReportPatchMessage(2, wrong_digest
                              ? L"The new file does not have the expected checksum: " + source
                              : L"Could not copy the file: " + source);
    return false;
  }
  return true;
}

// Makes the folders of the plan, in order; they come before the files in it.
bool MakeFolders(const OpenStep& step) {
  for (const auto& change : step.checked.plan) {
    if (change.kind != StepChange::Kind::kFolder) continue;
    std::wstring dir = InstallFs(change.path);
    if (!NoLinkOnPath(State().install_dir, change.path, TarvUtil::FromFsPath(change.path))) {
      return false;
    }
    if (!IsDirectory(dir) && !TarvUtil::MakeDirectory(dir)) {
      ReportPatchMessage(2, L"Could not create the directory: " + dir);
      return false;
    }
  }
  return true;
}

bool AddFiles(OpenStep& step, const PatchFileList& list) {
  if (!MakeFolders(step)) return false;
  for (size_t i = 0; i < list.size(); ++i) {
    if (!Step()) return false;
    if (!AddOne(step, list[i], step.checked.added[i])) {
      ReportPatchMessage(0, L"Failed adding: " + list[i].m_path + L"...");
      return false;
    }
  }
  return true;
}

bool DeleteFiles(OpenStep& step, const PatchFileList& list) {
  for (size_t i = 0; i < list.size(); ++i) {
    if (!Step()) return false;
    const PlannedEntry& planned = step.checked.deleted[i];
    if (planned.missing) {
      ReportPatchMessage(1, L"File seems to have been removed already: " +
                                JoinEntryPath(State().install_dir, SplitEntryPath(list[i].m_path)));
      continue;
    }
    const std::string& rel = step.checked.plan[planned.change].path;
    if (!NoLinkOnPath(State().install_dir, rel, list[i].m_path)) return false;
    std::string error;
    if (!step.journal.MoveAside(planned.change, &error)) {
      SystemLogA("step: %s\n", error.c_str());
      ReportPatchMessage(2,
                         L"Could not delete: " + InstallFs(step.checked.plan[planned.change].path));
      return false;
    }
  }
  return true;
}

bool PatchFiles(OpenStep& step, const PatchFileList& list) {
  for (size_t i = 0; i < list.size(); ++i) {
    if (!Step()) return false;
    const PlannedEntry& planned = step.checked.patched[i];
    std::wstring target = InstallFs(RelativeFsPath(list[i].m_path));
    if (planned.already_new) {
      ReportPatchMessage(1, L"Existing file appears to have been patched already: " + target);
      continue;
    }
    const std::string& rel = step.checked.plan[planned.change].path;
    if (!NoLinkOnPath(State().install_dir, rel, list[i].m_path)) return false;
    std::string error;
    if (!step.journal.MoveAside(planned.change, &error)) {
      SystemLogA("step: %s\n", error.c_str());
      ReportPatchMessage(2, L"Could not move the file aside as a backup: " + target);
      return false;
    }
    std::wstring old_copy = TarvUtil::FromFsPath(step.journal.AsidePath(planned.change));
    // The tool writes by name: its folder is looked at again just before.
    if (!NoLinkOnPath(State().install_dir, rel, list[i].m_path)) return false;
    if (!RebuildFromCopy(list[i], old_copy, State().install_dir, State().project_dir)) return false;
  }
  return true;
}

// The files the caller rewrites inside the step (the uninstaller's log and
// its temporary copy) are read and written by name: none may be a link or
// lie behind one.
bool CallerFilesStayInside() {
  bool ok = true;
  for (const auto* names : {&State().options.keep, &State().options.scratch}) {
    for (const auto& name : *names) {
      ok = NoLinkOnPath(State().install_dir, RelativeFsPath(name), name) && ok;
    }
  }
  return ok;
}

std::vector<StepChange> WithKeptFiles(std::vector<StepChange> plan) {
  for (const auto& keep : State().options.keep) {
    if (KindOfPath(TarvUtil::JoinPath(State().install_dir, keep)) == FileKind::kRegular) {
      plan.push_back({StepChange::Kind::kKeep, RelativeFsPath(keep)});
    }
  }
  for (const auto& scratch : State().options.scratch) {
    if (KindOfPath(TarvUtil::JoinPath(State().install_dir, scratch)) == FileKind::kMissing) {
      plan.push_back({StepChange::Kind::kNew, RelativeFsPath(scratch)});
    }
  }
  return plan;
}

}  // namespace

bool SetPatchCallbacks(TotalCallback total, StepCallback step, MessageCallback message) {
  ModuleState& s = State();
  s.total = std::move(total);
  s.step = std::move(step);
  s.message = std::move(message);
  return true;
}

void ReportPatchMessage(int level, const std::wstring& text) {
  if (State().message) {
    State().message(level, text);
    return;
  }
  FILE* stream = level == 0 ? stdout : stderr;
  std::string line = TarvText::ToUtf8(text) + "\n";
  fwrite(line.data(), 1, line.size(), stream);
  fflush(stream);
}

void SetPatchStepOptions(StepOptions options) { State().options = std::move(options); }

bool ApplyPatchProject(const std::wstring& install_dir, const std::wstring& project_dir,
                       const std::wstring& deferred_name) {
  ModuleState& s = State();
  s.install_dir = install_dir;
  s.project_dir = project_dir;
  Current().reset();
  PatchFileList added, deleted, patched;
  if (!ReadList(ListPath(project_dir, L"addedFiles.txt"), added, false) ||
      !ReadList(ListPath(project_dir, L"deletedFiles.txt"), deleted, false) ||
      !ReadList(ListPath(project_dir, L"patchedFiles.txt"), patched, false)) {
    return false;
  }
  DeferEntry(patched, deferred_name);
  if (s.total) s.total(static_cast<uint32_t>(added.size() + deleted.size() + patched.size()));
  auto step = std::make_unique<OpenStep>();
  if (!CheckStep(install_dir, project_dir, added, deleted, patched, s.options.reserve,
                 &step->checked) ||
      !CallerFilesStayInside()) {
    return false;
  }
  std::string error;
  if (!step->journal.Begin(TarvUtil::FsPath(install_dir), WithKeptFiles(step->checked.plan),
                           TarvUtil::FsPath(s.options.from_version),
                           TarvUtil::FsPath(s.options.to_version), &error)) {
    SystemLogA("step: %s\n", error.c_str());
    ReportPatchMessage(
        2, TarvMessages::LoadMessage(TarvMessages::Id::kStepJournalFailed) + install_dir);
    return false;
  }
  OpenStep& open = *step;
  Current() = std::move(step);
  return AddFiles(open, added) && DeleteFiles(open, deleted) && PatchFiles(open, patched);
}

bool CommitPatchStep(const StepJournal::Finish& finish) {
  std::unique_ptr<OpenStep>& step = Current();
  if (!step) return true;
  std::string error;
  if (!step->journal.Commit(finish, &error)) {
    SystemLogA("step: %s\n", error.c_str());
    ReportPatchMessage(
        2, TarvMessages::LoadMessage(TarvMessages::Id::kStepJournalFailed) + State().install_dir);
    return false;
  }
  step.reset();
  return true;
}

UndoResult UndoPatchStep() {
  std::unique_ptr<OpenStep> step = std::move(Current());
  if (!step || !step->journal.IsOpen()) return UndoResult::kNothingOpen;
  std::string error;
  if (step->journal.Undo(&error)) return UndoResult::kUndone;
  SystemLogA("step: undo: %s\n", error.c_str());
  ReportPatchMessage(
      2, TarvMessages::LoadMessage(TarvMessages::Id::kStepUndoFailed) + State().install_dir);
  return UndoResult::kFailed;
}

bool RecoverInterruptedStep(const std::wstring& install_dir, const StepJournal::Finish& finish) {
  std::string version, error;
  switch (RecoverStep(TarvUtil::FsPath(install_dir), finish, &version, &error)) {
    case RecoveryOutcome::kNothing:
      return true;
    case RecoveryOutcome::kUndone:
      ReportPatchMessage(
          1, FillPlaceholder(TarvMessages::LoadMessage(TarvMessages::Id::kStepReturnedTo),
                             TarvUtil::FromFsPath(version)));
      return true;
    case RecoveryOutcome::kCompleted:
      ReportPatchMessage(
          1, FillPlaceholder(TarvMessages::LoadMessage(TarvMessages::Id::kStepRecoveredCompleted),
                             TarvUtil::FromFsPath(version)));
      return true;
    case RecoveryOutcome::kBusy:
      ReportPatchMessage(2, TarvMessages::LoadMessage(TarvMessages::Id::kStepBusy) + install_dir);
      return false;
    case RecoveryOutcome::kFailed:
      break;
  }
  SystemLogA("step: recovery: %s\n", error.c_str());
  ReportPatchMessage(
      2, TarvMessages::LoadMessage(TarvMessages::Id::kStepRecoveryFailed) + install_dir);
  return false;
}

std::wstring FillPlaceholder(const std::wstring& text, const std::wstring& value) {
  std::wstring out = text;
  size_t at = out.find(L"%s");
  if (at != std::wstring::npos) out.replace(at, 2, value);
  return out;
}

PatchFileList ReadAddedFileList(const std::wstring& project_dir) {
  PatchFileList list;
  if (!ReadList(ListPath(project_dir, L"addedFiles.txt"), list, true)) return {};
  PatchFileList kept;
  for (auto& entry : list) {
    if (IsSafeEntryPath(SplitEntryPath(entry.m_path))) kept.push_back(std::move(entry));
  }
  return kept;
}

}  // namespace TarvPatch
