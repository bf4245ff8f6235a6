#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <set>
#include <string>

#include "data/file_util.h"
#include "os/session_folder.h"

namespace TarvUtil {
namespace {

// The folders of every live SessionFolder, for RemoveSessionFoldersNow.
struct Held {
  std::mutex mutex;
  std::set<std::wstring> paths;
};

Held& HeldFolders() {
  static Held* held = new Held;  // outlives every static destructor
  return *held;
}

}  // namespace

bool SessionFolder::Create(const std::wstring& parent) {
  Remove();
  struct stat st;
  if (parent.empty() || stat(FsPath(parent).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return false;
  }
  std::string pattern = FsPath(JoinPath(parent, L"tarv-XXXXXX"));
  if (mkdtemp(pattern.data()) == nullptr) return false;
  m_path = FromFsPath(pattern);
  std::lock_guard<std::mutex> lock(HeldFolders().mutex);
  HeldFolders().paths.insert(m_path);
  return true;
}

void SessionFolder::Remove() {
  if (m_path.empty()) return;
  {
    std::lock_guard<std::mutex> lock(HeldFolders().mutex);
    HeldFolders().paths.erase(m_path);
  }
  DeleteDirectoryTree(m_path);
  m_path.clear();
}

void RemoveSessionFoldersNow() {
  std::lock_guard<std::mutex> lock(HeldFolders().mutex);
  for (const std::wstring& path : HeldFolders().paths) DeleteDirectoryTree(path);
  HeldFolders().paths.clear();
}

bool CreateExclusiveFile(const std::wstring& path) {
  int fd = open(FsPath(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  close(fd);
  return true;
}

bool CreateExclusiveFolder(const std::wstring& path) {
  return !path.empty() && mkdir(FsPath(path).c_str(), 0700) == 0;
}

}  // namespace TarvUtil
