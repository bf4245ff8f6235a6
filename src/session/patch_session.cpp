#include "session/patch_session.h"

#include "data/file_util.h"
#include "diag/system_log.h"
#include "os/message_ids.h"
#include "os/messages.h"
#include "session/uninstall_log.h"

namespace TarvPatch {
namespace {

constexpr int kLockAttempts = 3;
constexpr int kLockPauseMs = 2000;
const wchar_t kDeferredName[] = L"TarvLauncher.exe";
const wchar_t kNoTarget[] = L"<none>";

using namespace TarvMessages::Id;

std::wstring Text(int id) { return TarvMessages::LoadMessage(id); }

}  // namespace

SessionEnd PatchSession::Run() {
  m_applied = 0;
  m_ports.InstallApplierCallbacks();
  m_ports.SelectLanguage();
  const Result result = CheckAndPatch();
  if (result == Result::kCancelled) {
    // The window has gone quiet: nothing more is reported, but the lock
    // is not kept from the game once the session has stopped.
    m_ports.CloseApplicationLock();
    return SessionEnd::kCancelled;
  }
  if (result == Result::kOk) {
    m_ports.CheckPhysXRuntime();
    Report(0, kPatchingCompleted);
  } else {
    Report(0, kPatchingAborted);
  }
  m_ports.CloseApplicationLock();
  return result == Result::kOk ? SessionEnd::kCompleted : SessionEnd::kAborted;
}

PatchSession::Result PatchSession::CheckAndPatch() {
  if (!m_ports.HasInstallAccess(InstallDir())) {
    Report(2, kPatchingNeedsAdmin);
    m_ports.ShowMessageBox(Text(kNoPrivileges), Text(kRequiresAdminCaption));
    return Result::kFailed;
  }
  if (!TakeApplicationLock()) {
    Report(2, kFilesInUseLine);
    m_ports.ShowMessageBox(Text(kFilesInUseText), Text(kFilesInUseCaption));
    m_ports.EnableApplyButton();
    return Result::kFailed;
  }
  if (m_settings.IsLocalFile()) return Result::kFailed;
  if (!m_settings.IsDownload()) {
    Report(0, kNothingToDo);
    return Result::kFailed;
  }
  if (m_settings.IsRepair()) {
    Report(2, kRepairNotImplemented);
    return Result::kFailed;
  }
  return RunPatches();
}

bool PatchSession::TakeApplicationLock() {
  const std::wstring binaries = TarvUtil::JoinPath(InstallDir(), L"Binaries");
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    if (m_ports.OpenApplicationLock(binaries)) return true;
    m_ports.Sleep(kLockPauseMs);
  }
  return false;
}

PatchSession::Result PatchSession::RunPatches() {
  Report(0, kSearchingForPatches);
  if (!m_ports.FindPatches(m_settings.GetServers())) {
    return m_ports.StopRequested() ? Result::kCancelled : Result::kFailed;
  }
  while (true) {
    const std::wstring current = m_settings.GetCurrentVersion().ToStdWstring();
    if (m_settings.GetFinalVersion().ToStdWstring() == current) {
      Report(0, kAtFinalVersion, current);
      break;
    }
    const std::optional<PatchStep> step = m_ports.GetPatchInfo(current);
    if (!step) {
      Report(0, kNoMorePatches, current);
      break;
    }
    const Result result = RunStep(*step);
    if (result != Result::kOk) return result;
  }
  if (m_applied > 0) m_ports.ResetGameConfiguration();
  return Result::kOk;
}

PatchSession::Result PatchSession::RunStep(const PatchStep& step) {
  m_settings.SetTargetVersion(step.target_version);
  if (!m_ports.QueryPatchSize(step.data_url)) Report(1, kCannotDetermineSize);
  std::wstring archive, work;
  Result result = DownloadStep(step.data_url, &archive, &work);
  if (result == Result::kOk) result = UnpackStep(archive, work);
  if (result == Result::kOk) result = ApplyStep(work);
  return result;
}

PatchSession::Result PatchSession::DownloadStep(const std::wstring& url, std::wstring* archive,
                                                std::wstring* work) {
  std::wstring temp;
  if (!m_ports.EnsureTempFolder(&temp) ||
      !MakeArchivePath(temp, m_settings.GetPatchName().ToStdWstring(), archive)) {
    Report(2, kCannotCreateTempFile);
    return Result::kFailed;
  }
  if (!MakeWorkFolder(temp, work)) {
    Report(2, kCannotCreateTempFolder);
    return Result::kFailed;
  }
  Report(0, kDownloadingPatch);
  if (!m_ports.DownloadPatch(url, *archive)) {
    // Nothing of a download that failed or was cancelled stays behind.
    TarvUtil::RemoveFile(*archive);
    TarvUtil::DeleteDirectoryTree(*work);
    if (m_ports.StopRequested()) return Result::kCancelled;
    Report(2, kDownloadFailed);
    return Result::kFailed;
  }
  uint64_t size = 0;
  if (TarvUtil::QueryFileSize(*archive, size) != DB_OK || size < m_ports.ExpectedPatchSize()) {
    SystemLogA("session: archive has %llu bytes, %llu announced\n",
               static_cast<unsigned long long>(size),
               static_cast<unsigned long long>(m_ports.ExpectedPatchSize()));
    TarvUtil::RemoveFile(*archive);
    TarvUtil::DeleteDirectoryTree(*work);
    Report(2, kDownloadFailed);
    return Result::kFailed;
  }
  return Result::kOk;
}

PatchSession::Result PatchSession::UnpackStep(const std::wstring& archive,
                                              const std::wstring& work) {
  Report(0, kUnpackingPatch);
  m_ports.SetDownloadState(kSessionUnpacking);
  const UnpackOutcome outcome = m_ports.Unpack(archive, work);
  if (outcome == UnpackOutcome::kCancelled) return Result::kCancelled;
  if (outcome != UnpackOutcome::kUnpacked) {
    Report(2, outcome == UnpackOutcome::kNotStarted ? kCouldNotStartUnpacker : kFailedToUnpack);
    Report(2, kExtractFailed);
    TarvUtil::RemoveFile(archive);
    TarvUtil::DeleteDirectoryTree(work);
    return Result::kFailed;
  }
  // A stop asked for while the unpacker finished within its first slice is
  // honoured before anything of the installation changes.
  if (m_ports.StopRequested()) return Result::kCancelled;
  return Result::kOk;
}

PatchSession::Result PatchSession::ApplyStep(const std::wstring& work) {
  const std::wstring name = m_settings.GetPatchName().ToStdWstring();
  Report(0, kPatching);
  if (!ApplyPatch(work)) {
    Report(2, kApplyFailed, name);
    TarvUtil::DeleteDirectoryTree(work);
    return Result::kFailed;
  }
  if (!UpdateUninstallData(work)) {
    Report(2, kUninstallLogFailed, name);
    TarvUtil::DeleteDirectoryTree(work);
    return Result::kFailed;
  }
  ++m_applied;
  m_settings.SetCurrentVersion(m_settings.GetTargetVersion());
  m_settings.SetTargetVersion(kNoTarget);
  TarvUtil::DeleteDirectoryTree(work);
  return Result::kOk;
}

bool PatchSession::ApplyPatch(const std::wstring& work) {
  m_ports.SetPatchingMarker();
  m_ports.SetDownloadState(kSessionApplying);
  m_ports.SetInstallFolderText(InstallDir());
  const bool applied = m_ports.ApplyPatchProject(InstallDir(), work, kDeferredName);
  if (applied) {
    m_ports.ClearPatchingMarker();
  } else {
    m_ports.SetPatchingMarker();
  }
  return applied;
}

bool PatchSession::UpdateUninstallData(const std::wstring& work) {
  std::string error;
  if (UpdateUninstallLog(InstallDir(), m_ports.ReadAddedFiles(work), &error)) return true;
  SystemLogA("session: uninstaller log not updated: %s\n", error.c_str());
  return false;
}

void PatchSession::Report(int level, int id, const std::wstring& suffix) {
  m_ports.Report(level, Text(id) + suffix);
}

std::wstring PatchSession::InstallDir() const {
  return m_settings.GetTargetDirectory().ToStdWstring();
}

}  // namespace TarvPatch
