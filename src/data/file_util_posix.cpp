// Linux file calls behind the file-system helpers.
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "data/file_faults.h"
#include "data/file_io.h"
#include "data/file_util.h"
#include "diag/system_log.h"

namespace TarvUtil {
namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

enum class Kind { kMissing, kDirectory, kOther };

Kind KindOf(const std::string& fs_path) {
  struct stat st;
  if (stat(fs_path.c_str(), &st) != 0) return Kind::kMissing;
  return S_ISDIR(st.st_mode) ? Kind::kDirectory : Kind::kOther;
}

}  // namespace

uint32_t MonotonicMilliseconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
}

bool MakeDirectory(const std::wstring& path_in) {
  if (path_in.empty()) return false;
  std::wstring path = path_in;
  if (IsSeparator(path.back())) path.pop_back();
  if (path.empty()) return KindOf("/") == Kind::kDirectory;
  std::string fs = FsPath(path);
  switch (KindOf(fs)) {
    case Kind::kDirectory:
      return true;
    case Kind::kOther:
      errno = EEXIST;
      return false;
    case Kind::kMissing:
      break;
  }
  size_t last = path.find_last_of(L"\\/");
  if (last != std::wstring::npos && last != 0 && !MakeDirectory(path.substr(0, last))) {
    return false;
  }
  if (mkdir(fs.c_str(), 0777) != 0) {
    if (errno == EEXIST && KindOf(fs) == Kind::kDirectory) return true;  // made meanwhile
    int err = errno;
    SystemLogA("MakeDirectory> CreateDirectoryW returned err %d", err);
    errno = err;
    return false;
  }
  return true;
}

bool DeleteDirectoryTree(const std::wstring& directory) {
  std::string fs = FsPath(directory);
  DIR* dir = opendir(fs.c_str());
  if (dir == nullptr) return false;
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  for (const std::string& name : names) {
    std::string child = fs;
    child.append("/").append(name);
    struct stat st;
    if (lstat(child.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      if (!DeleteDirectoryTree(FromFsPath(child))) return false;
    } else {
      TarvFile::Unlink(child);  // a link goes, its target stays
    }
  }
  return rmdir(fs.c_str()) == 0;
}

DataBufferResult QueryFileSize(const std::wstring& path, uint64_t& size) {
  struct stat st;
  if (stat(FsPath(path).c_str(), &st) != 0) {
    size = 0;
    return DB_IO_ERROR;
  }
  size = static_cast<uint64_t>(st.st_size);
  return DB_OK;
}

bool RemoveFile(const std::wstring& path) { return TarvFile::Unlink(FsPath(path)); }

bool RenameFile(const std::wstring& from, const std::wstring& to) {
  std::string a = FsPath(from), b = FsPath(to);
  if (!TarvFile::PassesFaultSeam(TarvFile::Call::kRename)) return false;
  if (syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without RENAME_NOREPLACE: a hard link fails on an existing
  // target just the same; then the old name goes.
  if (link(a.c_str(), b.c_str()) != 0) return false;
  unlink(a.c_str());
  return true;
}

}  // namespace TarvUtil
