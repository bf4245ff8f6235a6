#include "session/patch_thread.h"

#include "apply/file_patcher.h"
#include "apply/patch_applier.h"
#include "data/file_util.h"
#include "diag/crash_dump.h"
#include "os/application_mutex.h"
#include "os/messages.h"
#include "os/temp_folder.h"
#include "session/download_limit.h"
#include "session/install_access.h"
#include "session/installation_record.h"
#include "session/physx.h"

namespace TarvPatch {

PatchThread::PatchThread(SessionFrontEnd* frontEnd, PatchSettings& settings)
    : APThread(frontEnd), m_settings(settings) {}

PatchThread::~PatchThread() = default;

void PatchThread::DoWork() {
  SessionEnd end = SessionEnd::kAborted;
  SetDownloadLimit(EffectiveDownloadLimit(m_settings.GetDownloadLimit()));
  try {
    end = PatchSession(*this, m_settings).Run();
  } catch (...) {
    WriteCrashDump();
    throw;
  }
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

void PatchThread::InstallApplierCallbacks() {
  SetPatchCallbacks([](uint32_t units) { APThread::ReportTotalToCurrent(units); },
                    [] { return APThread::ReportStepToCurrent(); },
                    [](int level, const std::wstring& text) {
                      APThread::ReportMessageToCurrent(level, wxString(text));
                    });
  // A cancel or a closed window stops the difference tool too.
  SetPatchCancelQuery([] {
    APThread* worker = APThread::Current();
    return worker != nullptr && worker->StopOrCancelRequested();
  });
}

void PatchThread::SelectLanguage() { TarvMessages::SelectLanguage(); }

bool PatchThread::HasInstallAccess(const std::wstring& install_dir) {
  return TarvPatch::HasInstallAccess(install_dir);
}

bool PatchThread::OpenApplicationLock(const std::wstring& folder) {
  return TarvUtil::OpenApplicationMutex(folder, true);
}

void PatchThread::CloseApplicationLock() { TarvUtil::CloseApplicationMutex(); }

void PatchThread::Sleep(int milliseconds) { wxThread::Sleep(milliseconds); }

bool PatchThread::EnsureTempFolder(std::wstring* folder) {
  return TarvUtil::EnsureTempFolder(folder);
}

bool PatchThread::SetPatchingMarker() { return TarvPatch::SetPatchingMarker(); }

bool PatchThread::ClearPatchingMarker() { return TarvPatch::ClearPatchingMarker(); }

void PatchThread::ResetGameConfiguration() { TarvPatch::ResetGameConfiguration(); }

void PatchThread::CheckPhysXRuntime() {
  TarvPatch::CheckPhysXRuntime(
      [this](int level, const std::wstring& text) { Report(level, text); });
}

bool PatchThread::FindPatches(const std::vector<std::wstring>& servers) {
  return ObelkPatchTask::FindPatches(servers);
}

std::optional<PatchStep> PatchThread::GetPatchInfo(const std::wstring& version) {
  const PatchInfo* info = ObelkPatchTask::GetPatchInfo(TarvUtil::ToNarrow(version));
  if (info == nullptr) return std::nullopt;
  return PatchStep{TarvUtil::ToWide(info->targetVersion), info->patchDataUrl};
}

bool PatchThread::QueryPatchSize(const std::wstring& data_url) {
  return ObelkPatchTask::QueryPatchSize(data_url);
}

uint64_t PatchThread::ExpectedPatchSize() { return GetBytesExpected(); }

bool PatchThread::DownloadPatch(const std::wstring& data_url, const std::wstring& archive) {
  return ObelkPatchTask::DownloadPatch(data_url, archive);
}

void PatchThread::SetDownloadState(uint32_t state) {
  ObelkPatchTask::SetDownloadState(static_cast<int>(state));
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
  return TarvPatch::ApplyPatchProject(install_dir, work_folder, deferred_name);
}

std::vector<std::wstring> PatchThread::ReadAddedFiles(const std::wstring& work_folder) {
  std::vector<std::wstring> paths;
  for (const PatchFileEntry& entry : ReadAddedFileList(work_folder)) paths.push_back(entry.m_path);
  return paths;
}

}  // namespace TarvPatch
