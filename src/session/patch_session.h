// The patch session: one pass from the access test through the chain of
// patches (catalogue lookup, download, size check, unpacking, applying, the
// uninstaller log, the version step) to the verdict line. It drives the
// world through SessionPorts, which the worker thread (PatchThread)
// implements with the window, the patch task and the platform, and which
// tests implement with a recording fake. Files of the temporary folder and
// the uninstaller log are handled here directly. Runs on the worker thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "apply/step_applier.h"
#include "patchserver/catalogue_signature.h"
#include "patchserver/download_status.h"
#include "session/install_access.h"
#include "session/patch_settings.h"
#include "session/repair_session.h"
#include "session/unpacker.h"

namespace TarvPatch {

// One record of the catalogue, as the session needs it.
struct PatchStep {
  std::wstring target_version;
  std::wstring data_url;
  // The archive's size and SHA-256 (lower-case hexadecimal) when the
  // catalogue gives them.
  std::optional<uint64_t> data_size;
  std::string data_sha256;
};

// The publisher's keys, which turn signed catalogues on, lie here inside
// the installation.
inline constexpr const wchar_t* kPublisherKeyFile = L"Binaries/tarv-publisher.pub";

// Everything the session asks of the world outside its own files (repair's
// part, the log, the gauge, fetching and the temporary folder, comes from
// RepairPorts). Called on the worker thread only.
class SessionPorts : public RepairPorts {
 public:
  // The window.
  virtual void ShowMessageBox(const std::wstring& text, const std::wstring& caption) = 0;
  virtual void EnableApplyButton() = 0;
  virtual void SetInstallFolderText(const std::wstring& folder) = 0;

  // The platform.
  virtual void SelectLanguage() = 0;
  virtual AccessCheck CheckInstallAccess(const std::wstring& install_dir) = 0;
  virtual bool OpenApplicationLock(const std::wstring& folder) = 0;
  virtual void CloseApplicationLock() = 0;
  virtual void Sleep(int milliseconds) = 0;
  virtual bool SetPatchingMarker() = 0;
  virtual bool ClearPatchingMarker() = 0;
  virtual void CheckPhysXRuntime() = 0;

  // The highest catalogue serial accepted before (0: none), and storing a
  // higher one.
  virtual uint64_t StoredCatalogueSerial() = 0;
  virtual void StoreCatalogueSerial(uint64_t serial) = 0;

  // The patch task.
  virtual bool FindPatches(const std::vector<std::wstring>& servers,
                           const CataloguePolicy& policy) = 0;
  // The serial of the signed catalogue FindPatches accepted; 0 when none.
  virtual uint64_t AcceptedCatalogueSerial() = 0;
  // The catalogue of a patch folder (`folder`/patches.txt) into the task,
  // its relative addresses joined to the folder, its signature checked as
  // FindPatches checks a server's; false (reported) when it cannot be read,
  // is refused, or holds no patch record.
  virtual bool FindLocalPatches(const std::wstring& folder, const CataloguePolicy& policy) = 0;
  virtual std::optional<PatchStep> GetPatchInfo(const std::wstring& version) = 0;
  virtual bool QueryPatchSize(const std::wstring& data_url) = 0;
  virtual uint64_t ExpectedPatchSize() = 0;
  // The size the catalogue gives, used instead of asking the server.
  virtual void SetExpectedPatchSize(uint64_t size) = 0;
  // Fails as soon as the data pass `max_bytes`.
  virtual bool DownloadPatch(const std::wstring& data_url, const std::wstring& archive,
                             uint64_t max_bytes) = 0;
  // The phase after the download, for the front end's download status.
  virtual void SetDownloadState(DownloadState state) = 0;

  // The unpacker and the applier.
  virtual UnpackOutcome Unpack(const std::wstring& archive, const std::wstring& work_folder) = 0;
  virtual bool ApplyPatchProject(const std::wstring& install_dir, const std::wstring& work_folder,
                                 const std::wstring& deferred_name) = 0;
  // The open step of the last ApplyPatchProject (see step_applier.h). A
  // committed step also resets the game's configuration.
  virtual bool CommitPatchStep() = 0;
  virtual UndoResult UndoPatchStep() = 0;
  // The paths of the project's addedFiles.txt; empty when it has none or
  // cannot be read (the applier reports that itself).
  virtual std::vector<std::wstring> ReadAddedFiles(const std::wstring& work_folder) = 0;
};

// How a session ended.
enum class SessionEnd {
  kCompleted,  // "Patching completed."
  kAborted,    // "Patching aborted."
  kCancelled,  // ended at a stop request: no verdict line, no finish notice
};

// One session over the settings. Owned by the worker; runs once.
class PatchSession {
 public:
  PatchSession(SessionPorts& ports, PatchSettings& settings)
      : m_ports(ports), m_settings(settings) {}

  // The whole session, in order: callbacks, language, access test,
  // application lock (three tries 2000 ms apart), mode, the chain, PhysX,
  // the verdict, the lock released. The finish notice is the caller's.
  SessionEnd Run();

  // How many patches the last Run applied.
  int AppliedCount() const { return m_applied; }

 private:
  enum class Result { kOk, kFailed, kCancelled };

  Result CheckAndPatch();
  bool TakeApplicationLock();
  bool LoadCataloguePolicy(CataloguePolicy* policy);
  Result RunPatches();
  Result RunChain();
  std::optional<PatchStep> NextStep(const std::wstring& version);
  Result RunStep(const PatchStep& step);
  // Offline: a patch folder or one archive given with --patch.
  Result RunLocalPatches();
  Result LocalStep(const PatchStep& step, std::wstring* archive, std::wstring* work);
  // --repair, from the servers or the folder given with --patch.
  Result RunRepair();
  Result DownloadStep(const PatchStep& step, std::wstring* archive, std::wstring* work);
  Result CheckArchive(const PatchStep& step, const std::wstring& archive);
  void KeepCatalogueSerial(uint64_t serial);
  Result UnpackStep(const std::wstring& archive, const std::wstring& work);
  Result ApplyStep(const std::wstring& work);
  Result FailStep(const std::wstring& work, int failure_id);
  bool ApplyPatch(const std::wstring& work);
  bool UpdateUninstallData(const std::wstring& work);
  void Report(int level, int id, const std::wstring& suffix = L"");
  std::wstring InstallDir() const;

  SessionPorts& m_ports;
  PatchSettings& m_settings;
  int m_applied = 0;
  bool m_local = false;                       // archives are read where they lie
  std::optional<PatchStep> m_single_archive;  // --patch named one archive
  bool m_signed = false;                      // the installation asks for signed catalogues
  uint64_t m_storedSerial = 0;                // the serial the installation has kept
};

}  // namespace TarvPatch
