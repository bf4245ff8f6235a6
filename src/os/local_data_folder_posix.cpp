#include <cstdlib>

#include "data/file_util.h"
#include "os/local_data_folder.h"

namespace OS {

bool LocalDataFolder(std::wstring* folder) {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data != nullptr && data[0] == '/') {
    *folder = TarvUtil::FromFsPath(data);
    return true;
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') return false;
  *folder = TarvUtil::JoinPath(TarvUtil::FromFsPath(home), L".local/share");
  return true;
}

}  // namespace OS
