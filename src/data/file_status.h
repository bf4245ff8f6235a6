// What the file system says of one file without opening it for data: its
// type, size, identity (device and inode) and modification time, whether it
// may be run, and the free space of the file system that holds it. Paths are
// file-system paths (UTF-8, "/" separated). Failures report by the result
// with errno set; none throws. Stateless; any thread.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

namespace TarvFile {

enum class FileType { kRegular, kFolder, kLink, kOther };

// One look at a file. `device` and `inode` together name the file while it
// exists (on Windows: the volume serial and the file index).
struct FileStatus {
  FileType type = FileType::kOther;
  uint64_t size = 0;
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t mtime_ns = 0;  // nanoseconds since 1970
  uint32_t mode = 0;     // the permission bits (07777)
};

// The file at `path`, links followed.
bool StatusOf(const std::string& path, FileStatus* status);
// The entry at `path` itself: a link is reported as a link.
bool StatusOfEntry(const std::string& path, FileStatus* status);
// The file behind an open descriptor.
bool StatusOfOpen(int fd, FileStatus* status);
// The file behind an open stream.
bool StatusOfStream(FILE* stream, FileStatus* status);
// True when the entry at `path` exists, a link counted as existing even when
// it points nowhere. False with errno (ENOENT for nothing there).
bool EntryExists(const std::string& path);
// True when the caller may run the file at `path`; errno set otherwise.
bool IsExecutable(const std::string& path);
// The bytes an unprivileged writer may still use on the file system holding
// `path`.
bool FreeSpace(const std::string& path, uint64_t* bytes);

}  // namespace TarvFile
