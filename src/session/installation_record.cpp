#include "session/installation_record.h"

#include <cstdlib>

#include "data/file_util.h"
#include "os/registry.h"

namespace TarvPatch {
namespace {

constexpr const wchar_t* kMarkerValue = L"IsPatching";
// The value is read into room for 260 characters, the terminator included.
constexpr size_t kMaxInstallPathChars = 259;

bool OpenForWriting(OS::RegistryKey* key) {
  return key->Open(OS::RegistryHive::kMachine, kInstallationKey, OS::RegistryKey::Access::kWrite);
}

bool LauncherInstalled() {
  OS::RegistryKey key;
  uint32_t installed = 0;
  return key.Open(OS::RegistryHive::kUser, L"TarvLauncher", OS::RegistryKey::Access::kRead) &&
         key.QueryDword(L"Installed", &installed) && installed != 0;
}

// The user's local data folder, the counterpart of the local application
// data folder; only absolute locations count.
bool UserDataFolder(std::wstring* folder) {
  const char* data = getenv("XDG_DATA_HOME");
  std::wstring path;
  if (data && data[0] == '/') {
    path = TarvUtil::FromFsPath(data);
  } else {
    const char* home = getenv("HOME");
    if (!home || home[0] != '/') return false;
    path = TarvUtil::JoinPath(TarvUtil::FromFsPath(home), L".local/share");
  }
  if (!TarvUtil::MakeDirectory(path)) return false;
  *folder = path;
  return true;
}

bool RegisteredInstallPath(std::wstring* path) {
  OS::RegistryKey key;
  std::wstring text;
  if (!key.Open(OS::RegistryHive::kMachine, kInstallationKey, OS::RegistryKey::Access::kRead) ||
      !key.QueryString(L"InstallPath", &text) || text.empty() ||
      text.size() > kMaxInstallPathChars) {
    return false;
  }
  *path = text;
  return true;
}

}  // namespace

bool SetPatchingMarker() {
  OS::RegistryKey key;
  return OpenForWriting(&key) && key.SetDword(kMarkerValue, 1);
}

bool ClearPatchingMarker() {
  OS::RegistryKey key;
  return OpenForWriting(&key) && key.DeleteValue(kMarkerValue);
}

bool GameConfigurationFolder(std::wstring* folder) {
  std::wstring base;
  if (LauncherInstalled()) {
    if (!UserDataFolder(&base)) return false;
    *folder = TarvUtil::JoinPath(base, L"MyGames/Tarv/QXGame/Config/");
    return true;
  }
  if (!RegisteredInstallPath(&base)) return false;
  *folder = TarvUtil::JoinPath(base, L"QXGame/Config/");
  return true;
}

void ResetGameConfiguration() {
  std::wstring folder;
  if (!GameConfigurationFolder(&folder)) return;
  for (const wchar_t* name : kGameConfigurationFiles) TarvUtil::RemoveFile(folder + name);
}

}  // namespace TarvPatch
