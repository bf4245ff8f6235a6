#include "session/patch_session.h"

#include <algorithm>
#include <ctime>

#include "apply/repair_apply.h"
#include "crypto/publisher_key.h"
#include "crypto/sha256.h"
#include "data/file_util.h"
#include "diag/system_log.h"
#include "os/message_ids.h"
#include "os/messages.h"
#include "patchserver/fetch.h"
#include "session/download_limit.h"
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
  const AccessCheck access = m_ports.CheckInstallAccess(InstallDir());
  if (access.problem == AccessProblem::kNoWriteAccess) {
    Report(2, kPatchingNeedsAdmin);
    m_ports.ShowMessageBox(Text(kNoPrivileges), Text(kRequiresAdminCaption));
    return Result::kFailed;
  }
  if (access.problem != AccessProblem::kNone) {
    // What no administrator could mend is named with its path.
    const std::wstring cause = AccessProblemText(access);
    m_ports.Report(2, cause);
    m_ports.ShowMessageBox(cause, Text(kInstallProblemCaption));
    return Result::kFailed;
  }
  if (!TakeApplicationLock()) {
    Report(2, kFilesInUseLine);
    m_ports.ShowMessageBox(Text(kFilesInUseText), Text(kFilesInUseCaption));
    m_ports.EnableApplyButton();
    return Result::kFailed;
  }
  if (m_settings.IsRepair() && (m_settings.IsLocalFile() || m_settings.IsDownload())) {
    return RunRepair();
  }
  if (m_settings.IsLocalFile()) return RunLocalPatches();
  if (!m_settings.IsDownload()) {
    Report(0, kNothingToDo);
    return Result::kFailed;
  }
  return RunPatches();
}

PatchSession::Result PatchSession::RunRepair() {
  std::vector<std::wstring> sources = m_settings.GetServers();
  if (m_settings.IsLocalFile()) sources = {m_settings.GetManualPatchPath()};
  CataloguePolicy policy;
  if (!LoadCataloguePolicy(&policy)) return Result::kFailed;
  const std::wstring version = m_settings.GetCurrentVersion().ToStdWstring();
  JournalRepairApplier applier(InstallDir(), version);
  const auto from = m_settings.IsLocalFile() ? RepairSession::Sources::kFolders
                                             : RepairSession::Sources::kServers;
  RepairSession repair(m_ports, applier, InstallDir(), version, policy, from);
  switch (repair.Run(sources)) {
    case RepairSession::Outcome::kRepaired:
      KeepCatalogueSerial(repair.CatalogueSerial());
      return Result::kOk;
    case RepairSession::Outcome::kCancelled:
      return Result::kCancelled;
    case RepairSession::Outcome::kFailed:
      break;
  }
  return Result::kFailed;
}

// As in download mode, with the folder in place of the server; or one
// archive whose name says which version it leads from and to.
PatchSession::Result PatchSession::RunLocalPatches() {
  m_local = true;
  const std::wstring path = m_settings.GetManualPatchPath();
  const std::wstring current = m_settings.GetCurrentVersion().ToStdWstring();
  CataloguePolicy policy;
  if (!LoadCataloguePolicy(&policy)) return Result::kFailed;
  Report(0, kSearchingForPatches);
  uint64_t size = 0;
  if (TarvUtil::QueryFileSize(TarvUtil::JoinPath(path, L"patches.txt"), size) == DB_OK) {
    return m_ports.FindLocalPatches(path, policy) ? RunChain() : Result::kFailed;
  }
  // A lone archive has no catalogue to vouch for it.
  if (m_signed) {
    m_ports.Report(2, Text(TarvMessages::Id::kCatalogueUnsigned) + path);
    return Result::kFailed;
  }
  const size_t slash = path.find_last_of(L"/\\");
  const std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
  const size_t to = name.find(L"_to_");
  const bool named = to != std::wstring::npos && name.size() > 4 &&
                     name.compare(name.size() - 4, 4, L".zip") == 0 && to + 4 < name.size() - 4;
  if (!named || TarvUtil::QueryFileSize(path, size) != DB_OK) {
    m_ports.Report(2, FillMessage(Text(TarvMessages::Id::kNoLocalPatches), {path}));
    return Result::kFailed;
  }
  if (name.substr(0, to) != current) {
    m_ports.Report(2, FillMessage(Text(TarvMessages::Id::kArchiveOtherVersion), {name, current}));
    return Result::kFailed;
  }
  m_single_archive = PatchStep{name.substr(to + 4, name.size() - 4 - to - 4), path};
  return RunChain();
}

bool PatchSession::TakeApplicationLock() {
  const std::wstring binaries = TarvUtil::JoinPath(InstallDir(), L"Binaries");
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    if (m_ports.OpenApplicationLock(binaries)) return true;
    m_ports.Sleep(kLockPauseMs);
  }
  return false;
}

// The installation's key file decides whether catalogues must be signed; a
// key file that is there but cannot be used stops the session rather than
// patching unchecked.
bool PatchSession::LoadCataloguePolicy(CataloguePolicy* policy) {
  const std::wstring path = TarvUtil::JoinPath(InstallDir(), kPublisherKeyFile);
  std::string error;
  switch (TarvCrypto::LoadPublisherKeys(path, &policy->keys, &error)) {
    case TarvCrypto::KeyFileState::kAbsent:
      return true;
    case TarvCrypto::KeyFileState::kBroken:
      SystemLogA("session: publisher key file %s: %s\n", TarvUtil::FsPath(path).c_str(),
                 error.c_str());
      Report(2, kPublisherKeyUnusable, path);
      return false;
    case TarvCrypto::KeyFileState::kLoaded:
      break;
  }
  m_signed = true;
  m_storedSerial = m_ports.StoredCatalogueSerial();
  policy->lowest_serial = m_storedSerial;
  policy->now = static_cast<int64_t>(time(nullptr));
  return true;
}

PatchSession::Result PatchSession::RunPatches() {
  CataloguePolicy policy;
  if (!LoadCataloguePolicy(&policy)) return Result::kFailed;
  Report(0, kSearchingForPatches);
  if (!m_ports.FindPatches(m_settings.GetServers(), policy)) {
    return m_ports.StopRequested() ? Result::kCancelled : Result::kFailed;
  }
  return RunChain();
}

std::optional<PatchStep> PatchSession::NextStep(const std::wstring& version) {
  if (!m_single_archive) return m_ports.GetPatchInfo(version);
  std::optional<PatchStep> step;
  if (m_applied == 0) step = m_single_archive;
  return step;
}

PatchSession::Result PatchSession::RunChain() {
  std::vector<std::wstring> reached = {m_settings.GetCurrentVersion().ToStdWstring()};
  while (true) {
    const std::wstring current = m_settings.GetCurrentVersion().ToStdWstring();
    if (m_settings.GetFinalVersion().ToStdWstring() == current) {
      Report(0, kAtFinalVersion, current);
      break;
    }
    const std::optional<PatchStep> step = NextStep(current);
    if (!step) {
      Report(0, kNoMorePatches, current);
      break;
    }
    // A catalogue that leads back to a version of this session would patch
    // back and forth for ever: the chain ends before anything is fetched.
    if (std::find(reached.begin(), reached.end(), step->target_version) != reached.end()) {
      std::wstring cycle;
      for (const std::wstring& version : reached) cycle += version + L" -> ";
      Report(2, kChainCycle, cycle + step->target_version);
      return Result::kFailed;
    }
    const Result result = RunStep(*step);
    if (result != Result::kOk) return result;
    reached.push_back(m_settings.GetCurrentVersion().ToStdWstring());
  }
  return Result::kOk;
}

PatchSession::Result PatchSession::RunStep(const PatchStep& step) {
  m_settings.SetTargetVersion(step.target_version);
  if (m_signed && (!step.data_size || step.data_sha256.empty())) {
    Report(2, kRecordWithoutDigest, m_settings.GetPatchName().ToStdWstring());
    return Result::kFailed;
  }
  std::wstring archive, work;
  Result result = Result::kOk;
  if (m_local) {
    result = LocalStep(step, &archive, &work);
    if (result == Result::kOk) result = UnpackStep(archive, work);
  } else {
    // A size the catalogue gives is the one the archive must have.
    if (step.data_size) {
      m_ports.SetExpectedPatchSize(*step.data_size);
    } else if (!m_ports.QueryPatchSize(step.data_url)) {
      Report(1, kCannotDetermineSize);
    }
    result = DownloadStep(step, &archive, &work);
    if (result == Result::kOk) result = UnpackStep(archive, work);
  }
  if (result == Result::kOk) result = ApplyStep(work);
  return result;
}

PatchSession::Result PatchSession::DownloadStep(const PatchStep& step, std::wstring* archive,
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
  if (!m_ports.DownloadPatch(step.data_url, *archive, step.data_size.value_or(UINT64_MAX))) {
    // Nothing of a download that failed or was cancelled stays behind.
    TarvUtil::RemoveFile(*archive);
    TarvUtil::DeleteDirectoryTree(*work);
    if (m_ports.StopRequested()) return Result::kCancelled;
    Report(2, kDownloadFailed);
    return Result::kFailed;
  }
  if (step.data_size || !step.data_sha256.empty()) return CheckArchive(step, *archive);
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

// The archive of a patch folder or disk is copied into the session's own
// folder first: the player's folder may be writable by others, and only the
// copy that was checked is unpacked.
PatchSession::Result PatchSession::LocalStep(const PatchStep& step, std::wstring* archive,
                                             std::wstring* work) {
  uint64_t size = 0;
  if (IsRemoteAddress(step.data_url) || TarvUtil::QueryFileSize(step.data_url, size) != DB_OK) {
    m_ports.Report(2, FillMessage(Text(TarvMessages::Id::kPatchFileUnreadable), {step.data_url}));
    return Result::kFailed;
  }
  std::wstring temp;
  if (!m_ports.EnsureTempFolder(&temp) ||
      !MakeArchivePath(temp, m_settings.GetPatchName().ToStdWstring(), archive)) {
    Report(2, kCannotCreateTempFile);
    return Result::kFailed;
  }
  if (!CopyArchiveIn(step.data_url, *archive, step.data_size.value_or(UINT64_MAX))) {
    TarvUtil::RemoveFile(*archive);
    m_ports.Report(2, FillMessage(Text(TarvMessages::Id::kPatchFileUnreadable), {step.data_url}));
    return Result::kFailed;
  }
  if ((step.data_size || !step.data_sha256.empty()) &&
      CheckArchive(step, *archive) != Result::kOk) {
    return Result::kFailed;
  }
  if (!MakeWorkFolder(temp, work)) {
    TarvUtil::RemoveFile(*archive);
    Report(2, kCannotCreateTempFolder);
    return Result::kFailed;
  }
  return Result::kOk;
}

// The archive must be the one the catalogue names, byte for byte, before the
// unpacker sees it: a changed, swapped or damaged archive is a failed
// download, and the session's copy is not kept.
PatchSession::Result PatchSession::CheckArchive(const PatchStep& step,
                                                const std::wstring& archive) {
  uint64_t size = 0;
  std::string digest;
  const bool size_ok = TarvUtil::QueryFileSize(archive, size) == DB_OK &&
                       (!step.data_size || size == *step.data_size);
  const bool digest_ok =
      size_ok && (step.data_sha256.empty() ||
                  (TarvCrypto::ComputeFileSha256(archive, &digest) && digest == step.data_sha256));
  if (digest_ok) return Result::kOk;
  SystemLogA("session: archive has %llu bytes and SHA-256 %s; the catalogue gives %llu and %s\n",
             static_cast<unsigned long long>(size), digest.empty() ? "-" : digest.c_str(),
             static_cast<unsigned long long>(step.data_size.value_or(0)),
             step.data_sha256.empty() ? "-" : step.data_sha256.c_str());
  Report(2, kArchiveMismatch);
  Report(2, kDownloadFailed);
  TarvUtil::RemoveFile(archive);
  return Result::kFailed;
}

PatchSession::Result PatchSession::UnpackStep(const std::wstring& archive,
                                              const std::wstring& work) {
  Report(0, kUnpackingPatch);
  m_ports.SetDownloadState(DownloadState::kUnpacking);
  const UnpackOutcome outcome = m_ports.Unpack(archive, work);
  if (outcome == UnpackOutcome::kCancelled) return Result::kCancelled;
  if (outcome != UnpackOutcome::kUnpacked) {
    Report(2, outcome == UnpackOutcome::kNotStarted ? kCouldNotStartUnpacker : kFailedToUnpack);
    Report(2, kExtractFailed);
    TarvUtil::RemoveFile(archive);  // the session's copy, never the player's own
    TarvUtil::DeleteDirectoryTree(work);
    return Result::kFailed;
  }
  // A stop asked for while the unpacker finished within its first slice is
  // honoured before anything of the installation changes.
  if (m_ports.StopRequested()) return Result::kCancelled;
  return Result::kOk;
}

PatchSession::Result PatchSession::ApplyStep(const std::wstring& work) {
  Report(0, kPatching);
  if (!ApplyPatch(work)) return FailStep(work, kApplyFailed);
  if (!UpdateUninstallData(work)) return FailStep(work, kUninstallLogFailed);
  if (!m_ports.CommitPatchStep()) return FailStep(work, kApplyFailed);
  KeepCatalogueSerial(m_ports.AcceptedCatalogueSerial());
  m_ports.ClearPatchingMarker();
  ++m_applied;
  m_settings.SetCurrentVersion(m_settings.GetTargetVersion());
  m_settings.SetTargetVersion(kNoTarget);
  TarvUtil::DeleteDirectoryTree(work);
  return Result::kOk;
}

// Once the installation holds files of a signed catalogue, no server may
// offer an older catalogue any more. Kept only after a step was applied or a
// repair put files in place, so that a catalogue merely looked at does not
// lock out the one in use.
void PatchSession::KeepCatalogueSerial(uint64_t serial) {
  if (!m_signed) return;
  if (serial <= m_storedSerial) return;
  m_ports.StoreCatalogueSerial(serial);
  m_storedSerial = serial;
}

// Undoes what the step changed and reports the failure, then whether the
// installation is back at the version it had before the step.
PatchSession::Result PatchSession::FailStep(const std::wstring& work, int failure_id) {
  const UndoResult undo = m_ports.UndoPatchStep();
  m_ports.SetPatchingMarker();
  Report(2, failure_id, m_settings.GetPatchName().ToStdWstring());
  if (undo == UndoResult::kUndone) {
    m_ports.Report(
        1, FillPlaceholder(Text(kStepReturnedTo), m_settings.GetCurrentVersion().ToStdWstring()));
  }
  TarvUtil::DeleteDirectoryTree(work);
  return Result::kFailed;
}

bool PatchSession::ApplyPatch(const std::wstring& work) {
  m_ports.SetPatchingMarker();
  m_ports.SetDownloadState(DownloadState::kApplying);
  m_ports.SetInstallFolderText(InstallDir());
  return m_ports.ApplyPatchProject(InstallDir(), work, kDeferredName);
}

bool PatchSession::UpdateUninstallData(const std::wstring& work) {
  const std::vector<std::wstring> added = m_ports.ReadAddedFiles(work);
  if (!added.empty() && UninstallLogMissing(InstallDir())) {
    // Installed without an uninstaller: there is nothing to extend.
    Report(1, kNoUninstallLog);
    return true;
  }
  std::string error;
  if (UpdateUninstallLog(InstallDir(), added, &error)) return true;
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
