// PatchThread: the worker thread of one patch session. It is the window's
// worker (APThread) and the patch task (PatchServerTask: catalogue, server
// search, download and its status), and it gives the session driver
// (PatchSession) the real world: the window through the front end, the
// applier, the unpacker, the registry record, the application lock and the
// PhysX check. The front end creates it (Make), runs it once and joins it
// after the finish notice; the front end's own thread polls the download
// status that Make hands it, everything else runs on the worker.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "apply/step_applier.h"
#include "os/session_folder.h"
#include "patchserver/patch_server_task.h"
#include "session/ap_thread.h"
#include "session/patch_session.h"
#include "session/patch_settings.h"

namespace TarvPatch {

// What a worker's patch step says reaches its front end: lines to the log,
// the entries to the gauge. The step is cancelled by a confirmed cancel in
// the front end, and the difference tool also by a stop of the worker.
class WorkerStepObserver : public StepObserver {
 public:
  explicit WorkerStepObserver(APThread& worker) : m_worker(worker) {}
  void Total(uint32_t count) override { m_worker.ReportTotal(count); }
  bool Step() override { return m_worker.ReportStep(); }
  void Line(int level, const std::wstring& text) override;
  bool Cancelled() override { return m_worker.StopOrCancelRequested(); }

 private:
  APThread& m_worker;
};

class PatchThread : public APThread, public PatchServerTask, private SessionPorts {
 public:
  // `settings` must outlive the thread; the worker moves its versions.
  explicit PatchThread(SessionFrontEnd* frontEnd, PatchSettings& settings = PatchSettings::Get());
  ~PatchThread() override;

  // A new worker reporting to `frontEnd`, with its download status.
  static SessionWorker Make(SessionFrontEnd* frontEnd,
                            PatchSettings& settings = PatchSettings::Get());

  // PatchServerTask: the task's report lines go to the window's log.
  void Report(int level, const std::string& text) override;
  // PatchServerTask: every fetch stops once the worker was asked to end or
  // the player confirmed a cancel.
  bool TransferCancelled() override { return StopOrCancelRequested(); }

 protected:
  // The session; ends with the finish notice unless it was cancelled while
  // unpacking. An exception escaping the session writes the crash dump
  // before the thread's guard reports it and ends the process.
  void DoWork() override;

 private:
  // SessionPorts.
  void Report(int level, const std::wstring& text) override;
  void ShowMessageBox(const std::wstring& text, const std::wstring& caption) override;
  void EnableApplyButton() override;
  void SetInstallFolderText(const std::wstring& folder) override;
  bool StopRequested() override;
  void SelectLanguage() override;
  AccessCheck CheckInstallAccess(const std::wstring& install_dir) override;
  bool OpenApplicationLock(const std::wstring& folder) override;
  void CloseApplicationLock() override;
  void Sleep(int milliseconds) override;
  bool EnsureTempFolder(std::wstring* folder) override;
  bool SetPatchingMarker() override;
  bool ClearPatchingMarker() override;
  void CheckPhysXRuntime() override;
  bool FindLocalPatches(const std::wstring& folder, const CataloguePolicy& policy) override;
  void GaugeTotal(uint32_t units) override;
  bool GaugeStep() override;
  bool FetchText(const std::wstring& address, FetchKind kind, std::string* text,
                 FetchOptions* options) override;
  bool FetchFile(const std::wstring& address, FetchKind kind, const std::wstring& download_path,
                 std::wstring* where, FetchOptions* options) override;
  void TransferProgress(uint64_t received, uint64_t expected) override;
  uint64_t StoredCatalogueSerial() override;
  void StoreCatalogueSerial(uint64_t serial) override;
  bool FindPatches(const std::vector<std::wstring>& servers,
                   const CataloguePolicy& policy) override;
  uint64_t AcceptedCatalogueSerial() override;
  std::optional<PatchStep> GetPatchInfo(const std::wstring& version) override;
  bool QueryPatchSize(const std::wstring& data_url) override;
  uint64_t ExpectedPatchSize() override;
  void SetExpectedPatchSize(uint64_t size) override;
  bool DownloadPatch(const std::wstring& data_url, const std::wstring& archive,
                     uint64_t max_bytes) override;
  void SetDownloadState(DownloadState state) override;
  UnpackOutcome Unpack(const std::wstring& archive, const std::wstring& work_folder) override;
  bool ApplyPatchProject(const std::wstring& install_dir, const std::wstring& work_folder,
                         const std::wstring& deferred_name) override;
  bool CommitPatchStep() override;
  UndoResult UndoPatchStep() override;
  std::vector<std::wstring> ReadAddedFiles(const std::wstring& work_folder) override;

  PatchSettings& m_settings;
  // Holds every temporary file of the session; made at the first step,
  // removed when the session ends, however it ends.
  TarvUtil::SessionFolder m_sessionFolder;
  WorkerStepObserver m_stepObserver{*this};
  // The step of the last ApplyPatchProject, open until committed or undone.
  std::unique_ptr<StepApplier> m_step;
};

}  // namespace TarvPatch
