// The walk below a folder on Windows. A folder "descriptor" is a handle
// opened with FILE_FLAG_OPEN_REPARSE_POINT and without FILE_SHARE_DELETE:
// while it is held, nobody can rename the folder away or put a link in its
// place, so names below it are looked at by its final path. A reparse point
// (symbolic link or junction) is a link and is never followed.
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <vector>

#include "data/file_faults.h"
#include "data/file_io.h"
#include "data/path_beneath.h"
#include "data/windows_path.h"

namespace TarvFile {
namespace {

std::vector<std::string> Components(const std::string& relative) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t slash = relative.find('/', start);
    if (slash == std::string::npos) slash = relative.size();
    if (slash > start) parts.push_back(relative.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

std::string Joined(const std::vector<std::string>& parts, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += (i ? "/" : "") + parts[i];
  return out;
}

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

void CloseKeepingErrno(int fd) {
  const int err = errno;
  if (fd >= 0) _close(fd);
  errno = err;
}

int ToDescriptor(HANDLE handle) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), 0x8000 /* binary */);
  if (fd < 0) {
    CloseHandle(handle);
    errno = EMFILE;
  }
  return fd;
}

// Opens a folder; without `follow` a link there fails with ELOOP.
int OpenFolderPath(const std::wstring& path, bool follow) {
  HANDLE handle = CreateFileW(
      path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
      nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
  if (handle == INVALID_HANDLE_VALUE) return Failed(), -1;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) {
    Failed();
    CloseHandle(handle);
    return -1;
  }
  if (!follow && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    CloseHandle(handle);
    errno = ELOOP;
    return -1;
  }
  if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    CloseHandle(handle);
    errno = ENOTDIR;
    return -1;
  }
  return ToDescriptor(handle);
}

// The full path of an open folder, in the long-path form.
std::wstring PathOf(int dir) {
  std::wstring path(1024, L'\0');
  for (;;) {
    const DWORD n =
        GetFinalPathNameByHandleW(HandleOf(dir), path.data(), static_cast<DWORD>(path.size()),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(n + 1);
  }
}

std::wstring ChildOf(int dir, const std::string& name) {
  std::wstring base = PathOf(dir);
  return base.empty() ? base : base + L"\\" + WindowsPath(name);
}

// The attributes of the entry itself (a link's own, never its target's).
DWORD AttributesOf(const std::wstring& path) {
  return path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(path.c_str());
}

}  // namespace

Beneath WalkBeneath(const std::string& root, const std::string& relative, std::string* met) {
  const std::vector<std::string> parts = Components(relative);
  int fd = OpenFolderPath(WindowsPath(root), true);
  if (fd < 0) return Beneath::kFailed;
  Beneath result = Beneath::kInside;
  for (size_t i = 0; i < parts.size(); ++i) {
    const DWORD attributes = AttributesOf(ChildOf(fd, parts[i]));
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      Failed();
      if (errno != ENOENT) result = Beneath::kFailed;
      break;  // missing: nothing below it can be a link
    }
    const bool last = i + 1 == parts.size();
    const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (link || (!last && !(attributes & FILE_ATTRIBUTE_DIRECTORY))) {
      result = link ? Beneath::kLink : Beneath::kNotFolder;
      if (met) *met = Joined(parts, i + 1);
      break;
    }
    if (last) break;
    int next = OpenFolderPath(ChildOf(fd, parts[i]), false);
    if (next < 0) {
      // Replaced by a link since the look: a link all the same.
      result = errno == ELOOP ? Beneath::kLink : Beneath::kFailed;
      if (met && result == Beneath::kLink) *met = Joined(parts, i + 1);
      break;
    }
    _close(fd);
    fd = next;
  }
  CloseKeepingErrno(fd);
  return result;
}

int OpenFolderBeneath(const std::string& root, const std::string& relative) {
  int fd = OpenFolderPath(WindowsPath(root), true);
  for (const std::string& part : Components(relative)) {
    if (fd < 0) return -1;
    int next = OpenFolderPath(ChildOf(fd, part), false);
    CloseKeepingErrno(fd);
    fd = next;
  }
  return fd;
}

bool RenameAt(int from_dir, const std::string& from_name, int to_dir, const std::string& to_name) {
  return Rename(FromWindowsName(ChildOf(from_dir, from_name)),
                FromWindowsName(ChildOf(to_dir, to_name)));
}

bool UnlinkAt(int dir, const std::string& name) {
  return Unlink(FromWindowsName(ChildOf(dir, name)));
}

std::string ParentOf(const std::string& relative) {
  size_t slash = relative.rfind('/');
  return slash == std::string::npos ? "" : relative.substr(0, slash);
}

std::string LastComponentOf(const std::string& relative) {
  size_t slash = relative.rfind('/');
  return slash == std::string::npos ? relative : relative.substr(slash + 1);
}

int OpenFolder(const std::string& path) { return OpenFolderPath(WindowsPath(path), true); }

bool MakeFolder(const std::string& path) {
  return CreateDirectoryW(WindowsPath(path).c_str(), nullptr) || Failed();
}

int DuplicateHandle(int fd) {
  HANDLE copy = nullptr;
  if (!::DuplicateHandle(GetCurrentProcess(), HandleOf(fd), GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
    return Failed(), -1;
  }
  return ToDescriptor(copy);
}

bool IsLinkIn(int dir, const std::string& name) {
  const DWORD attributes = AttributesOf(ChildOf(dir, name));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool MakeFolderIn(int dir, const std::string& name) {
  const std::wstring path = ChildOf(dir, name);
  return (!path.empty() && CreateDirectoryW(path.c_str(), nullptr)) || Failed();
}

int OpenFolderIn(int dir, const std::string& name) {
  return OpenFolderPath(ChildOf(dir, name), false);
}

int CreateFileIn(int dir, const std::string& name) {
  const std::wstring path = ChildOf(dir, name);
  HANDLE handle =
      CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return Failed(), -1;
  return ToDescriptor(handle);
}

bool RenameIn(int dir, const std::string& from, const std::string& to) {
  return MoveFileExW(ChildOf(dir, from).c_str(), ChildOf(dir, to).c_str(),
                     MOVEFILE_REPLACE_EXISTING) ||
         Failed();
}

bool RemoveFileIn(int dir, const std::string& name) {
  const std::wstring path = ChildOf(dir, name);
  const DWORD attributes = AttributesOf(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    errno = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? EPERM : EISDIR;
    return false;
  }
  return DeleteFileW(path.c_str()) || Failed();
}

}  // namespace TarvFile
