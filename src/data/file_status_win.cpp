// What the file system says of a file, from the handle's file information:
// the volume serial and the file index name it, a reparse point (symbolic
// link or junction) is a link, and the read-only attribute is the owner's
// missing write bit.
#include <io.h>
#include <windows.h>

#include <cerrno>

#include "data/file_status.h"
#include "data/windows_path.h"

namespace TarvFile {
namespace {

// 100-nanosecond intervals between 1601 and 1970.
constexpr int64_t kEpochDifference = 116444736000000000LL;

bool Fill(HANDLE handle, FileStatus* status) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return Failed();
  const DWORD attributes = info.dwFileAttributes;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
    status->type = FileType::kLink;
  else if (attributes & FILE_ATTRIBUTE_DIRECTORY)
    status->type = FileType::kFolder;
  else
    status->type = GetFileType(handle) == FILE_TYPE_DISK ? FileType::kRegular : FileType::kOther;
  status->size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  status->device = info.dwVolumeSerialNumber;
  status->inode = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  const int64_t ticks =
      static_cast<int64_t>((static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                           info.ftLastWriteTime.dwLowDateTime);
  status->mtime_ns = (ticks - kEpochDifference) * 100;
  const uint32_t read_bits = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0555 : 0444;
  status->mode = read_bits | ((attributes & FILE_ATTRIBUTE_READONLY) ? 0 : 0200);
  return true;
}

bool StatusOfPath(const std::string& path, DWORD flags, FileStatus* status) {
  HANDLE handle = CreateFileW(WindowsPath(path).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return Failed();
  const bool ok = Fill(handle, status);
  CloseHandle(handle);
  return ok;
}

}  // namespace

bool StatusOf(const std::string& path, FileStatus* status) { return StatusOfPath(path, 0, status); }

bool StatusOfEntry(const std::string& path, FileStatus* status) {
  return StatusOfPath(path, FILE_FLAG_OPEN_REPARSE_POINT, status);
}

bool StatusOfOpen(int fd, FileStatus* status) {
  const intptr_t handle = _get_osfhandle(fd);
  if (handle == -1) {
    errno = EBADF;
    return false;
  }
  return Fill(reinterpret_cast<HANDLE>(handle), status);
}

bool StatusOfStream(FILE* stream, FileStatus* status) {
  return StatusOfOpen(_fileno(stream), status);
}

bool EntryExists(const std::string& path) {
  return GetFileAttributesW(WindowsPath(path).c_str()) != INVALID_FILE_ATTRIBUTES || Failed();
}

// Windows runs what its extension says may run.
bool IsExecutable(const std::string& path) {
  FileStatus status;
  if (!StatusOf(path, &status)) return false;
  const size_t dot = path.rfind('.');
  std::string extension = dot == std::string::npos ? "" : path.substr(dot);
  for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (status.type == FileType::kRegular &&
      (extension == ".exe" || extension == ".com" || extension == ".bat" || extension == ".cmd")) {
    return true;
  }
  errno = EACCES;
  return false;
}

bool FreeSpace(const std::string& path, uint64_t* bytes) {
  // The call takes a folder; for a file its folder is asked.
  std::wstring folder = WindowsPath(path);
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    folder = folder.substr(0, folder.find_last_of(L'\\') + 1);
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return Failed();
  *bytes = available.QuadPart;
  return true;
}

}  // namespace TarvFile
