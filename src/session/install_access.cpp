#include "session/install_access.h"

#include "data/data_buffer.h"
#include "data/file_status.h"
#include "data/file_util.h"
#include "diag/system_log.h"
#include "os/message_ids.h"
#include "os/messages.h"
#include "os/registry.h"
#include "os/temp_folder.h"
#include "session/installation_record.h"

namespace TarvPatch {
namespace {

bool IsFolder(const std::wstring& path, bool* exists) {
  TarvFile::FileStatus st;
  *exists = TarvFile::StatusOf(TarvUtil::FsPath(path), &st);
  return *exists && st.type == TarvFile::FileType::kFolder;
}

// The folder checks: what no elevation can mend.
AccessCheck CheckFolders(const std::wstring& install_dir) {
  bool exists = false;
  if (!IsFolder(install_dir, &exists)) {
    return {exists ? AccessProblem::kNotAFolder : AccessProblem::kFolderMissing, install_dir};
  }
  const std::wstring binaries = TarvUtil::JoinPath(install_dir, L"Binaries");
  if (!IsFolder(binaries, &exists)) return {AccessProblem::kNoBinaries, install_dir};
  std::string hive, error;
  if (!OS::CheckRegistryHive(OS::RegistryHive::kMachine, &hive, &error)) {
    SystemLogA("access: %s\n", error.c_str());
    return {AccessProblem::kRegistryUnreadable, TarvUtil::FromFsPath(hive)};
  }
  return {};
}

bool CanWriteEverything(const std::wstring& install_dir) {
  {
    OS::RegistryKey created;
    created.Create(OS::RegistryHive::kMachine, kInstallationKey);
  }
  OS::RegistryKey key;
  if (!key.Open(OS::RegistryHive::kMachine, kInstallationKey, OS::RegistryKey::Access::kWrite)) {
    return false;
  }
  key.Close();
  if (!TarvUtil::EnsureTempFolder(nullptr)) return false;
  TarvDataBufferFile probe(TarvUtil::JoinPath(install_dir, L"Binaries/LauncherApp/index.html"),
                           TarvDataBufferFile::MODE_UPDATE);
  return probe.IsOpen();
}

}  // namespace

AccessCheck CheckInstallAccess(const std::wstring& install_dir) {
  AccessCheck check = CheckFolders(install_dir);
  if (check.problem != AccessProblem::kNone) return check;
  if (!CanWriteEverything(install_dir)) return {AccessProblem::kNoWriteAccess, install_dir};
  return {};
}

bool HasInstallAccess(const std::wstring& install_dir) {
  return CheckInstallAccess(install_dir).problem == AccessProblem::kNone;
}

std::wstring AccessProblemText(const AccessCheck& check) {
  namespace Id = TarvMessages::Id;
  int id = 0;
  switch (check.problem) {
    case AccessProblem::kFolderMissing:
      id = Id::kInstallFolderMissing;
      break;
    case AccessProblem::kNotAFolder:
      id = Id::kInstallFolderNotAFolder;
      break;
    case AccessProblem::kNoBinaries:
      id = Id::kInstallBinariesMissing;
      break;
    case AccessProblem::kRegistryUnreadable:
      id = Id::kRegistryHiveUnreadable;
      break;
    case AccessProblem::kNone:
    case AccessProblem::kNoWriteAccess:
      return L"";
  }
  return TarvMessages::LoadMessage(id) + check.path;
}

}  // namespace TarvPatch
