// One patcher per installation: an exclusive lock named after the
// installation folder, held by a patcher process from the moment it is sure
// to patch here until it ends. Two patchers on one installation would
// otherwise wait on each other's game lock and report "files in use".
// The lock lives beside the game's application locks, never inside the
// installation. Main thread; the process holds at most one.
#pragma once

#include <string>

namespace TarvPatch {

enum class InstallationLockResult {
  kHeld,     // this process holds the lock now
  kBusy,     // another process holds it
  kUnknown,  // the lock file could not be used; patching goes on unguarded
};

// Takes the lock of `folder` (compared by its real path when it exists)
// without waiting. The lock goes with the process; its file is not inherited
// by programs the patcher starts.
InstallationLockResult TakeInstallationLock(const std::wstring& folder);

// The lock file's name for a folder: "tarv-patcher-" and a 64-bit FNV-1a
// digest of the folder's path in hexadecimal, ".lock".
std::string InstallationLockName(const std::string& folder);

}  // namespace TarvPatch
