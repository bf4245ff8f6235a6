#include "session/install_access.h"

#include "data/data_buffer.h"
#include "data/file_util.h"
#include "os/registry.h"
#include "os/temp_folder.h"
#include "session/installation_record.h"

namespace TarvPatch {

bool HasInstallAccess(const std::wstring& install_dir) {
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

}  // namespace TarvPatch
