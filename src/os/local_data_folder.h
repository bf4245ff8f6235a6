// The user's local application-data folder, where the game keeps its
// per-user configuration: on Windows the folder SHGetFolderPathW names for
// CSIDL_LOCAL_APPDATA, on Linux $XDG_DATA_HOME, else ~/.local/share. Only
// absolute locations count. Safe from any thread.
#pragma once

#include <string>

namespace OS {

// False when the system names no such folder; the folder is not created.
bool LocalDataFolder(std::wstring* folder);

}  // namespace OS
