#include "session/patch_settings.h"

#include <wx/filename.h>
#include <wx/log.h>
#include <wx/textfile.h>

#include "os/message_ids.h"
#include "os/messages.h"

namespace TarvPatch {

namespace {

namespace Id = TarvMessages::Id;

// A server list longer than this is not a list of addresses.
const wxULongLong kMaxServerListBytes(1u << 20);

wxString Message(int id) { return wxString(TarvMessages::LoadMessage(id)); }

}  // namespace

PatchSettings& PatchSettings::Get() {
  static PatchSettings* settings = new PatchSettings();  // lives to process end
  return *settings;
}

void PatchSettings::SetCurrentVersion(const wxString& version) {
  m_currentVersion = version;
  RebuildPatchName();
}

void PatchSettings::SetTargetVersion(const wxString& version) {
  m_targetVersion = version;
  RebuildPatchName();
}

void PatchSettings::RebuildPatchName() {
  m_patchName = m_currentVersion + "_to_" + m_targetVersion;
}

void PatchSettings::SetLocalFile(bool local_file) {
  m_localFile = local_file;
  if (local_file) m_download = false;
}

void PatchSettings::SetDownload(bool download) {
  m_download = download;
  if (download) m_localFile = false;
}

bool PatchSettings::AddServer(const std::wstring& address) {
  m_servers.push_back(address);
  return true;
}

bool PatchSettings::ReadServerList(const wxString& file_name) {
  wxLogNull no_popups;  // failures are reported by the caller
  wxULongLong size = wxFileName::GetSize(file_name);
  if (size == wxInvalidSize || size > kMaxServerListBytes) return false;
  wxTextFile file;
  if (!file.Open(file_name) || file.GetLineCount() == 0) return false;
  for (size_t i = 0; i < file.GetLineCount(); ++i) {
    AddServer(file.GetLine(i).ToStdWstring());
  }
  return true;
}

wxString PatchSettings::BuildStartupSummary() const {
  wxString summary = Message(Id::kInstallerVersion) + kInstallerVersion + "\n";
  if (!m_manualPatchPath.empty())
    summary += Message(Id::kManualPatchPath) + wxString(m_manualPatchPath) + "\n";
  summary += Message(Id::kPatchingFromVersion) + m_currentVersion + Message(Id::kTo) +
             m_finalVersion + "\n";
  if (m_localFile) summary += Message(Id::kStandaloneMode);
  if (m_repair) summary += Message(Id::kRepairMode);
  for (const std::wstring& server : m_servers)
    summary += Message(Id::kServerCandidate) + wxString(server) + "\n";
  return summary;
}

}  // namespace TarvPatch
