#include "session/physx.h"

#include <cstdio>

#include "data/file_status.h"
#include "data/file_util.h"
#include "diag/text_encoding.h"
#include "os/message_ids.h"
#include "os/messages.h"
#include "os/process.h"
#include "os/registry.h"

namespace TarvPatch {
namespace {

bool IsFolder(const std::wstring& path) {
  TarvFile::FileStatus st;
  return TarvFile::StatusOf(TarvUtil::FsPath(path), &st) && st.type == TarvFile::FileType::kFolder;
}

bool IsFile(const std::wstring& path) {
  TarvFile::FileStatus st;
  return TarvFile::StatusOf(TarvUtil::FsPath(path), &st) && st.type == TarvFile::FileType::kRegular;
}

// A string value of a machine key, or "" when the key, the value or its
// text is missing.
std::wstring MachineString(const std::wstring& key_path, const std::wstring& name) {
  OS::RegistryKey key;
  std::wstring text;
  if (!key.Open(OS::RegistryHive::kMachine, key_path, OS::RegistryKey::Access::kRead) ||
      !key.QueryString(name, &text)) {
    return L"";
  }
  return text;
}

}  // namespace

bool IsPhysXInstalled() {
  const std::wstring core = MachineString(L"SOFTWARE\\AGEIA Technologies", L"PhysXCore Path");
  if (core.empty()) return false;
  const std::wstring folder = TarvUtil::JoinPath(core, L"v2.6.4");
  return IsFolder(folder) && IsFile(TarvUtil::JoinPath(folder, L"PhysXCore.dll")) &&
         IsFile(TarvUtil::JoinPath(folder, L"PhysXCooking.dll"));
}

std::wstring FindPhysXInstaller() {
  const std::wstring install = MachineString(L"SOFTWARE\\Obelk\\Tarv", L"InstallPath");
  if (install.empty()) return L"";
  const std::wstring binaries = TarvUtil::JoinPath(install, L"Binaries");
  const std::wstring installer = TarvUtil::JoinPath(binaries, L"PhysX_7.06.25_SystemSoftware.exe");
  return IsFolder(binaries) && IsFile(installer) ? installer : L"";
}

void CheckPhysXRuntime(const std::function<void(int level, const std::wstring& text)>& report) {
  if (IsPhysXInstalled()) return;
  report(0, TarvMessages::LoadMessage(TarvMessages::Id::kPhysXMissing));
  const std::wstring installer = FindPhysXInstaller();
  if (installer.empty()) return;
  OS::Process process;
  std::string error;
  if (!process.Start({TarvUtil::FsPath(installer)}, &error)) {
    const std::string line =
        TarvText::ToUtf8(TarvMessages::LoadMessage(TarvMessages::Id::kErrorCreatingProcess)) +
        error + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    return;
  }
  // The session waits for the installer however long it takes; the window
  // stays responsive meanwhile.
  process.Wait(-1);
}

}  // namespace TarvPatch
