#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

#include "data/file_status.h"

namespace TarvFile {
namespace {

bool Fill(const struct stat& st, FileStatus* status) {
  if (S_ISREG(st.st_mode))
    status->type = FileType::kRegular;
  else if (S_ISDIR(st.st_mode))
    status->type = FileType::kFolder;
  else if (S_ISLNK(st.st_mode))
    status->type = FileType::kLink;
  else
    status->type = FileType::kOther;
  status->size = static_cast<uint64_t>(st.st_size);
  status->device = static_cast<uint64_t>(st.st_dev);
  status->inode = static_cast<uint64_t>(st.st_ino);
  status->mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  status->mode = static_cast<uint32_t>(st.st_mode & 07777);
  return true;
}

}  // namespace

bool StatusOf(const std::string& path, FileStatus* status) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && Fill(st, status);
}

bool StatusOfEntry(const std::string& path, FileStatus* status) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && Fill(st, status);
}

bool StatusOfOpen(int fd, FileStatus* status) {
  struct stat st;
  return fstat(fd, &st) == 0 && Fill(st, status);
}

bool StatusOfStream(FILE* stream, FileStatus* status) {
  return StatusOfOpen(fileno(stream), status);
}

bool EntryExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool IsExecutable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

bool FreeSpace(const std::string& path, uint64_t* bytes) {
  struct statvfs vfs;
  if (statvfs(path.c_str(), &vfs) != 0) return false;
  *bytes = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
  return true;
}

}  // namespace TarvFile
