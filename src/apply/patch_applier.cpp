#include "apply/patch_applier.h"

#include <cstdio>

#include "apply/apply_files.h"
#include "apply/file_patcher.h"
#include "apply/md5.h"
#include "apply/patch_path.h"
#include "data/file_util.h"
#include "diag/text_encoding.h"

namespace TarvPatch {
namespace {

struct ModuleState {
  std::wstring install_dir;
  std::wstring project_dir;
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

// Refuses an entry that would reach outside the installation or names no
// file. True when the entry may be used.
bool CheckEntry(const PatchFileEntry& entry, const EntryPath& path) {
  if (IsSafeEntryPath(path)) return true;
  ReportPatchMessage(2, L"Refused a path that leaves the installation folder: " + entry.m_path);
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

// Creates the folder when missing; reports and answers false on failure.
bool EnsureDirectory(const std::wstring& dir) {
  if (IsDirectory(dir) || TarvUtil::MakeDirectory(dir)) return true;
  ReportPatchMessage(2, L"Could not create the directory: " + dir);
  return false;
}

bool AddOne(const PatchFileEntry& entry) {
  EntryPath path = SplitEntryPath(entry.m_path);
  if (!CheckEntry(entry, path)) return false;
  const ModuleState& s = State();
  std::wstring source = JoinEntryPath(TarvUtil::JoinPath(s.project_dir, L"data"), path);
  std::wstring target = JoinEntryPath(s.install_dir, path);
  FileKind kind = KindOfPath(source);
  if (kind != FileKind::kRegular && kind != FileKind::kMissing) {
    ReportPatchMessage(2, L"Refused a new file that is not a regular file: " + source);
    return false;
  }
  bool ok = EnsureDirectory(EntryDirectory(s.install_dir, path));
  // The list's second line, where the publisher gave it, is the digest the
  // new file must carry; a copy without it never replaces the installed file.
  bool wrong_digest = false;
  auto check = [&](const std::wstring& copy) {
    if (entry.m_newDigest.empty()) return true;
    std::wstring digest;
    if (!ComputeFileMD5(copy, digest)) return false;  // unreadable: a failed copy
    wrong_digest = digest != entry.m_newDigest;
    return !wrong_digest;
  };
  // The installed file stays in place until a complete copy replaces it, so
  // a failed copy loses nothing; the retry makes a new temporary copy.
  if (!CopyFileReplacing(source, target, check) &&
      (wrong_digest || !CopyFileReplacing(source, target, check))) {
    ReportPatchMessage(2, wrong_digest
                              ? L"The new file does not have the expected checksum: " + source
                              : L"Could not copy the file: " + source);
    ok = false;
  }
  return ok;
}

bool DeleteOne(const PatchFileEntry& entry) {
  EntryPath path = SplitEntryPath(entry.m_path);
  if (!CheckEntry(entry, path)) return false;
  std::wstring target = JoinEntryPath(State().install_dir, path);
  if (TarvUtil::RemoveFile(target)) return true;
  if (KindOfPath(target) == FileKind::kMissing) {
    ReportPatchMessage(1, L"File seems to have been removed already: " + target);
    return true;
  }
  ReportPatchMessage(2, L"Could not delete: " + target);
  return false;
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

bool ApplyPatchProject(const std::wstring& install_dir, const std::wstring& project_dir,
                       const std::wstring& deferred_name) {
  ModuleState& s = State();
  s.install_dir = install_dir;
  s.project_dir = project_dir;
  PatchFileList added, deleted, patched;
  if (!ReadList(ListPath(project_dir, L"addedFiles.txt"), added, false) ||
      !ReadList(ListPath(project_dir, L"deletedFiles.txt"), deleted, false) ||
      !ReadList(ListPath(project_dir, L"patchedFiles.txt"), patched, false)) {
    return false;
  }
  DeferEntry(patched, deferred_name);
  if (s.total) s.total(static_cast<uint32_t>(added.size() + deleted.size() + patched.size()));
  bool added_ok = AddFiles(added);
  bool deleted_ok = DeleteFiles(deleted);
  bool patched_ok = PatchFiles(patched);
  return added_ok && deleted_ok && patched_ok;
}

bool AddFiles(const PatchFileList& list) {
  bool ok = true;
  for (const auto& entry : list) {
    if (!Step()) return false;
    if (!AddOne(entry)) {
      ReportPatchMessage(0, L"Failed adding: " + entry.m_path + L"...");
      ok = false;
    }
  }
  return ok;
}

bool DeleteFiles(const PatchFileList& list) {
  bool ok = true;
  for (const auto& entry : list) {
    if (!Step()) return false;
    ok = DeleteOne(entry) && ok;
  }
  return ok;
}

bool PatchFiles(const PatchFileList& list) {
  size_t failed = 0;
  for (const auto& entry : list) {
    if (!Step()) return false;
    EntryPath path = SplitEntryPath(entry.m_path);
    if (!CheckEntry(entry, path) ||
        PatchInstalledFile(entry, State().install_dir, State().project_dir) ==
            PatchOutcome::kFailed) {
      ++failed;
    }
  }
  return failed == 0;
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
