#include "session/patch_thread.h"

#include "data/file_util.h"
#include "diag/crash_dump.h"
#include "diag/system_log.h"
#include "os/application_mutex.h"
#include "os/message_ids.h"
#include "os/messages.h"
#include "os/temp_folder.h"
#include "patchserver/fetch.h"
#include "session/catalogue_serial.h"
#include "session/download_limit.h"
#include "session/install_access.h"
#include "session/installation_record.h"
#include "session/physx.h"
#include "session/uninstall_log.h"

namespace TarvPatch {

void WorkerStepObserver::Line(int level, const std::wstring& text) {
  m_worker.ReportMessage(level, wxString(text));
}

PatchThread::PatchThread(SessionFrontEnd* frontEnd, PatchSettings& settings)
    : APThread(frontEnd), m_settings(settings) {}

PatchThread::~PatchThread() = default;

SessionWorker PatchThread::Make(SessionFrontEnd* frontEnd, PatchSettings& settings) {
  auto* worker = new PatchThread(frontEnd, settings);
  return {worker, worker};
}

void PatchThread::DoWork() {
  SessionEnd end = SessionEnd::kAborted;
  SetDownloadLimit(EffectiveDownloadLimit(m_settings.GetDownloadLimit()));
  try {
    end = PatchSession(*this, m_settings).Run();
  } catch (...) {
    m_sessionFolder.Remove();
    WriteCrashDump();
    throw;
  }
  m_sessionFolder.Remove();
  // A session stopped while unpacking ends here, without the finish notice.
  if (end != SessionEnd::kCancelled) APThread::DoWork();
}

void PatchThread::Report(int level, const std::string& text) {
  APThread::ReportMessage(level, wxString(TarvUtil::ToWide(text)));
}

void PatchThread::Report(int level, const std::wstring& text) {
  APThread::ReportMessage(level, wxString(text));
}

void PatchThread::ShowMessageBox(const std::wstring& text, const std::wstring& caption) {
  APThread::ShowMessageBox(wxString(text), wxString(caption));
}

void PatchThread::EnableApplyButton() { APThread::EnableApplyButton(); }

void PatchThread::SetInstallFolderText(const std::wstring& folder) {
  APThread::SetInstallFolderText(wxString(folder));
}

bool PatchThread::StopRequested() {
  // ReportStep answers false once the user confirmed a cancel, also before
  // the window asked the thread to end. Its gauge step is undone by the
  // applier's ReportTotal, which always comes first when applying starts.
  return TestDestroy() || !APThread::ReportStep();
}

void PatchThread::SelectLanguage() { TarvMessages::SelectLanguage(); }

AccessCheck PatchThread::CheckInstallAccess(const std::wstring& install_dir) {
  return TarvPatch::CheckInstallAccess(install_dir);
}

bool PatchThread::OpenApplicationLock(const std::wstring& folder) {
  return TarvUtil::OpenApplicationMutex(folder, true);
}

void PatchThread::CloseApplicationLock() { TarvUtil::CloseApplicationMutex(); }

void PatchThread::Sleep(int milliseconds) { wxThread::Sleep(milliseconds); }

bool PatchThread::EnsureTempFolder(std::wstring* folder) {
  if (!m_sessionFolder.IsCreated()) {
    std::wstring temp;
    if (!TarvUtil::EnsureTempFolder(&temp) || !m_sessionFolder.Create(temp)) return false;
  }
  *folder = m_sessionFolder.Path();
  return true;
}

bool PatchThread::SetPatchingMarker() { return TarvPatch::SetPatchingMarker(); }

bool PatchThread::ClearPatchingMarker() { return TarvPatch::ClearPatchingMarker(); }

void PatchThread::CheckPhysXRuntime() {
  TarvPatch::CheckPhysXRuntime(
      [this](int level, const std::wstring& text) { Report(level, text); });
}

uint64_t PatchThread::StoredCatalogueSerial() { return ReadCatalogueSerial(); }

void PatchThread::StoreCatalogueSerial(uint64_t serial) {
  if (!TarvPatch::StoreCatalogueSerial(serial)) {
    SystemLogA("session: catalogue serial %llu not stored\n",
               static_cast<unsigned long long>(serial));
  }
}

bool PatchThread::FindPatches(const std::vector<std::wstring>& servers,
                              const CataloguePolicy& policy) {
  SetCataloguePolicy(policy);
  return PatchServerTask::FindPatches(servers);
}

bool PatchThread::FindLocalPatches(const std::wstring& folder, const CataloguePolicy& policy) {
  SetCataloguePolicy(policy);
  return PatchServerTask::FindLocalPatches(folder);
}

void PatchThread::GaugeTotal(uint32_t units) { APThread::ReportTotal(units); }

bool PatchThread::GaugeStep() { return APThread::ReportStep() && !TestDestroy(); }

// Repair fetches through the task, under its cancel check and speed cap.
bool PatchThread::FetchText(const std::wstring& address, FetchKind kind, std::string* text,
                            FetchOptions* options) {
  return PatchServerTask::FetchText(address, kind, text, options);
}

bool PatchThread::FetchFile(const std::wstring& address, FetchKind kind,
                            const std::wstring& download_path, std::wstring* where,
                            FetchOptions* options) {
  return PatchServerTask::FetchFile(address, kind, download_path, where, options);
}

void PatchThread::TransferProgress(uint64_t received, uint64_t expected) {
  SetTransferProgress(received, expected);
}

uint64_t PatchThread::AcceptedCatalogueSerial() { return GetAcceptedSerial(); }

std::optional<PatchStep> PatchThread::GetPatchInfo(const std::wstring& version) {
  const PatchInfo* info = PatchServerTask::GetPatchInfo(TarvUtil::ToNarrow(version));
  if (info == nullptr) return std::nullopt;
  return PatchStep{TarvUtil::ToWide(info->targetVersion), info->patchDataUrl, info->patchDataSize,
                   info->patchDataSha256};
}

bool PatchThread::QueryPatchSize(const std::wstring& data_url) {
  return PatchServerTask::QueryPatchSize(data_url);
}

uint64_t PatchThread::ExpectedPatchSize() { return GetBytesExpected(); }

void PatchThread::SetExpectedPatchSize(uint64_t size) {
  PatchServerTask::SetExpectedPatchSize(size);
}

bool PatchThread::DownloadPatch(const std::wstring& data_url, const std::wstring& archive,
                                uint64_t max_bytes) {
  return PatchServerTask::DownloadPatch(data_url, archive, max_bytes);
}

void PatchThread::SetDownloadState(DownloadState state) {
  PatchServerTask::SetDownloadState(state);
}

UnpackOutcome PatchThread::Unpack(const std::wstring& archive, const std::wstring& work_folder) {
  UnpackRequest request;
  request.install_dir = m_settings.GetTargetDirectory().ToStdWstring();
  request.archive = archive;
  request.work_folder = work_folder;
  request.cancelled = [this] { return TestDestroy(); };
  return RunUnpacker(request);
}

bool PatchThread::ApplyPatchProject(const std::wstring& install_dir,
                                    const std::wstring& work_folder,
                                    const std::wstring& deferred_name) {
  StepOptions options;
  options.from_version = m_settings.GetCurrentVersion().ToStdWstring();
  options.to_version = m_settings.GetTargetVersion().ToStdWstring();
  // The uninstaller's log is rewritten inside the step; its new copy needs
  // room beside the old one.
  options.keep = {kUninstallLogName};
  options.scratch = {kUninstallLogTempName};
  uint64_t log_size = 0;
  TarvUtil::QueryFileSize(TarvUtil::JoinPath(install_dir, kUninstallLogName), log_size);
  options.reserve = log_size + kUninstallLogGrowth;
  m_step =
      std::make_unique<StepApplier>(install_dir, work_folder, std::move(options), m_stepObserver);
  return m_step->Apply(deferred_name);
}

// The configuration reset belongs to the step: it happens once the step is
// committed, and a run killed before it is finished is completed at the
// next start; a step that is undone never reaches it.
bool PatchThread::CommitPatchStep() {
  return !m_step || m_step->Commit(TarvPatch::ResetGameConfiguration);
}

UndoResult PatchThread::UndoPatchStep() {
  return m_step ? m_step->Undo() : UndoResult::kNothingOpen;
}

std::vector<std::wstring> PatchThread::ReadAddedFiles(const std::wstring& work_folder) {
  std::vector<std::wstring> paths;
  for (const PatchFileEntry& entry : ReadAddedFileList(work_folder, m_stepObserver))
    paths.push_back(entry.m_path);
  return paths;
}

}  // namespace TarvPatch
