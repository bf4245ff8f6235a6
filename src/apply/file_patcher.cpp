#include "apply/file_patcher.h"

#include <signal.h>

#include "apply/apply_files.h"
#include "apply/md5.h"
#include "apply/patch_applier.h"
#include "apply/patch_path.h"
#include "data/file_util.h"
#include "diag/text_encoding.h"
#include "os/process.h"

namespace TarvPatch {
namespace {

// The difference tool is waited for in slices this long; between slices the
// cancel query is asked, so that a cancel or a closed window ends the tool.
constexpr int kToolSliceMs = 100;

std::function<bool()>& CancelQuery() {
  static std::function<bool()> query;
  return query;
}

struct FilePaths {
  std::wstring target, backup, diff, tool;
};

FilePaths PathsFor(const EntryPath& path, const std::wstring& install_dir,
                   const std::wstring& project_dir) {
  FilePaths p;
  p.target = JoinEntryPath(install_dir, path);
  p.backup = p.target + L".bak";
  p.diff = JoinEntryPath(TarvUtil::JoinPath(project_dir, L"data"), path, L".diff");
  p.tool = TarvUtil::JoinPath(install_dir, L"Binaries/jpatchl-w32.exe");
  return p;
}

// A run that ended between the backup and the rebuilt file left only the
// backup: it goes back first, so that this run can finish the patch.
void RestoreInterruptedRun(const FilePaths& p) {
  if (KindOfPath(p.target) != FileKind::kMissing || KindOfPath(p.backup) != FileKind::kRegular) {
    return;
  }
  if (RenameReplacing(p.backup, p.target)) {
    ReportPatchMessage(1,
                       L"Restored the file from the backup of an interrupted patch: " + p.target);
  }
}

// Puts the backup back over the target after a failed rebuild.
void RestoreBackup(const FilePaths& p) {
  if (!RenameReplacing(p.backup, p.target)) {
    ReportPatchMessage(2, L"Could not restore the backup: " + p.backup);
  }
}

// How a run of the difference tool ended.
struct ToolRun {
  enum class End { kNotStarted, kExited, kSignalled, kCancelled } end = End::kNotStarted;
  int code = -1;      // the exit status for kExited, the signal for kSignalled
  std::string error;  // why it could not start
};

// Runs the tool, asking the cancel query between slices of the wait; a
// cancelled or lost tool is killed before this returns.
ToolRun RunTool(const FilePaths& p) {
  ToolRun run;
  OS::Process tool;
  std::vector<std::string> argv = {TarvUtil::FsPath(p.tool), TarvUtil::FsPath(p.backup),
                                   TarvUtil::FsPath(p.diff), TarvUtil::FsPath(p.target)};
  if (!tool.Start(argv, &run.error)) return run;
  bool cancelled = false;
  OS::Process::WaitResult waited = tool.WaitInSlices(kToolSliceMs, [&] {
    cancelled = CancelQuery() && CancelQuery()();
    return !cancelled;
  });
  if (waited != OS::Process::WaitResult::kExited) {
    tool.Terminate();
    run.end = cancelled ? ToolRun::End::kCancelled : ToolRun::End::kSignalled;
    run.code = SIGKILL;
    return run;
  }
  run.end = tool.TermSignal() != 0 ? ToolRun::End::kSignalled : ToolRun::End::kExited;
  run.code = tool.TermSignal() != 0 ? tool.TermSignal() : tool.ExitCode();
  return run;
}

// The digest decides whether the file may be patched: only a file in the
// old state is; one already new or one in neither state is reported.
bool ReadyForPatch(const PatchFileEntry& entry, const FilePaths& p, PatchOutcome* outcome) {
  std::wstring digest;
  if (!ComputeFileMD5(p.target, digest)) {
    ReportPatchMessage(2, L"Failed to compute the checksum for existing file: " + p.target);
    *outcome = PatchOutcome::kFailed;
    return false;
  }
  if (digest == entry.m_newDigest) {
    ReportPatchMessage(1, L"Existing file appears to have been patched already: " + p.target);
    *outcome = PatchOutcome::kAlreadyNew;
    return false;
  }
  if (digest != entry.m_oldDigest) {
    ReportPatchMessage(2, L"Existing file is damaged and cannot be patched: " + p.target);
    *outcome = PatchOutcome::kFailed;
    return false;
  }
  FileKind diff_kind = KindOfPath(p.diff);
  if (diff_kind != FileKind::kRegular && diff_kind != FileKind::kMissing) {
    ReportPatchMessage(2, L"Refused a difference file that is not a regular file: " + p.diff);
    *outcome = PatchOutcome::kFailed;
    return false;
  }
  return true;
}

// Has the tool rebuild the target from the backup and checks the result.
// True when the target now carries the new digest.
bool Rebuild(const PatchFileEntry& entry, const FilePaths& p) {
  const ToolRun run = RunTool(p);
  switch (run.end) {
    case ToolRun::End::kNotStarted:
      ReportPatchMessage(0, L"Failed patch Command: " +
                                RenderPatchCommand(p.tool, p.backup, p.diff, p.target) + L" (" +
                                TarvText::FromUtf8(run.error) + L")");
      ReportPatchMessage(2, entry.m_path);
      return false;
    case ToolRun::End::kCancelled:
      return false;  // the cancel ends the session; it says so itself
    case ToolRun::End::kSignalled:
      // Shown as a shell would show it, 128 + the signal's number.
      ReportPatchMessage(2, entry.m_path + L": the patch tool ended abnormally (code " +
                                std::to_wstring(128 + run.code) + L")");
      return false;
    case ToolRun::End::kExited:
      break;
  }
  // Only the listed codes mean failure; any other status is judged by the
  // digest of what the tool left.
  if (run.code >= 1 && run.code <= 4) {
    ReportPatchMessage(2, entry.m_path + PatchToolExitText(run.code));
    return false;
  }
  std::wstring digest;
  if (!ComputeFileMD5(p.target, digest) || digest != entry.m_newDigest) {
    ReportPatchMessage(2, L"The patched file does not have the expected checksum: " + p.target);
    return false;
  }
  return true;
}

}  // namespace

void SetPatchCancelQuery(std::function<bool()> cancelled) { CancelQuery() = std::move(cancelled); }

std::wstring RenderPatchCommand(const std::wstring& tool, const std::wstring& backup,
                                const std::wstring& diff, const std::wstring& target) {
  return tool + L" \"" + backup + L"\" \"" + diff + L"\" \"" + target + L"\"";
}

std::wstring PatchToolExitText(int exit_code) {
  switch (exit_code) {
    case 1:
      return L"Not enough Argument Specified to patch the file";
    case 2:
      return L"Could not open data file %s for reading.";
    case 3:
      return L"Could not open patch file %s for reading.";
    case 4:
      return L"Could not open output file for writing.";
    default:
      return L"";
  }
}

PatchOutcome PatchInstalledFile(const PatchFileEntry& entry, const std::wstring& install_dir,
                                const std::wstring& project_dir) {
  EntryPath path = SplitEntryPath(entry.m_path);
  FilePaths p = PathsFor(path, install_dir, project_dir);
  RestoreInterruptedRun(p);
  PatchOutcome outcome = PatchOutcome::kFailed;
  if (!ReadyForPatch(entry, p, &outcome)) return outcome;
  // The rename replaces a backup left by an earlier run in one step.
  if (!RenameReplacing(p.target, p.backup)) {
    ReportPatchMessage(2, L"Could not move the file aside as a backup: " + p.target);
    return PatchOutcome::kFailed;
  }
  std::wstring dir = EntryDirectory(install_dir, path);
  if (!IsDirectory(dir) && !TarvUtil::MakeDirectory(dir)) {
    ReportPatchMessage(2, L"Could not create the directory: " + dir);
    RestoreBackup(p);
    return PatchOutcome::kFailed;
  }
  if (!Rebuild(entry, p)) {
    RestoreBackup(p);
    return PatchOutcome::kFailed;
  }
  TarvUtil::RemoveFile(p.backup);
  return PatchOutcome::kDone;
}

}  // namespace TarvPatch
