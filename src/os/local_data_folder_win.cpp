#include <windows.h>
// After windows.h, which they need.
#include <shlobj.h>

#include "os/local_data_folder.h"

namespace OS {

bool LocalDataFolder(std::wstring* folder) {
  wchar_t path[MAX_PATH];
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path))) {
    return false;
  }
  *folder = path;
  return !folder->empty();
}

}  // namespace OS
