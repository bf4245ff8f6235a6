// PatchSettings: what this run of the patcher was asked to do (installation
// folder, versions, mode, patch servers). One record per process, reached
// through Get(); written by the start-up on the GUI thread before the window
// exists, afterwards only by the one worker thread (the two versions). No
// lock guards it, so nothing else may write it while a worker runs.
#pragma once

#include <wx/string.h>

#include <cstdint>
#include <string>
#include <vector>

namespace TarvPatch {

class PatchSettings {
 public:
  // The process-wide record, created empty on first use, never destroyed.
  static PatchSettings& Get();

  // A separate, empty record (tests; the start-up fills the one of Get()).
  PatchSettings() = default;
  PatchSettings(const PatchSettings&) = delete;
  PatchSettings& operator=(const PatchSettings&) = delete;

  const wxString& GetTargetDirectory() const { return m_targetDirectory; }
  void SetTargetDirectory(const wxString& folder) { m_targetDirectory = folder; }

  const std::wstring& GetManualPatchPath() const { return m_manualPatchPath; }
  void SetManualPatchPath(const std::wstring& path) { m_manualPatchPath = path; }

  // Always current + "_to_" + target once either version has been set.
  const wxString& GetPatchName() const { return m_patchName; }

  const wxString& GetCurrentVersion() const { return m_currentVersion; }
  void SetCurrentVersion(const wxString& version);
  const wxString& GetTargetVersion() const { return m_targetVersion; }
  void SetTargetVersion(const wxString& version);

  // Empty when no final version was given.
  const wxString& GetFinalVersion() const { return m_finalVersion; }
  void SetFinalVersion(const wxString& version) { m_finalVersion = version; }

  bool IsRepair() const { return m_repair; }
  void SetRepair(bool repair) { m_repair = repair; }

  // At most one of the two modes is on: switching one on switches the other
  // off; switching one off leaves the other as it is.
  bool IsLocalFile() const { return m_localFile; }
  void SetLocalFile(bool local_file);
  bool IsDownload() const { return m_download; }
  void SetDownload(bool download);

  // The download speed cap of the command line in bytes per second; 0 when
  // none was given (the user's DownloadLimit then applies, if any).
  uint64_t GetDownloadLimit() const { return m_downloadLimit; }
  void SetDownloadLimit(uint64_t bytesPerSecond) { m_downloadLimit = bytesPerSecond; }

  const std::vector<std::wstring>& GetServers() const { return m_servers; }
  // Appends one server entry exactly as given (empty entries included).
  // Always true.
  bool AddServer(const std::wstring& address);
  // Appends every line of the text file, in order, the last one too whether
  // or not it ends with a line break; CR LF, LF and CR end lines. False, with
  // nothing appended, when the file cannot be read or has no line.
  bool ReadServerList(const wxString& file_name);

  // The text the window puts first in its log: the installer's version, the
  // manual patch path, the versions, the mode and the server candidates, one
  // line each, in the calling thread's language.
  wxString BuildStartupSummary() const;

 private:
  void RebuildPatchName();

  wxString m_targetDirectory;
  std::wstring m_manualPatchPath;
  wxString m_patchName;
  wxString m_currentVersion;
  wxString m_targetVersion;
  wxString m_finalVersion;
  bool m_repair = false;
  bool m_localFile = false;
  bool m_download = false;
  uint64_t m_downloadLimit = 0;
  std::vector<std::wstring> m_servers;
};

// The installer's own version, shown in the start-up summary and in the
// crash-dump file name.
inline constexpr const wchar_t kInstallerVersion[] = L"30323";

}  // namespace TarvPatch
