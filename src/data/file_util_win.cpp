// Windows file calls behind the file-system helpers.
#include <windows.h>

#include <cerrno>
#include <vector>

#include "data/file_faults.h"
#include "data/file_io.h"
#include "data/file_util.h"
#include "data/windows_path.h"
#include "diag/system_log.h"

namespace TarvUtil {
namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

enum class Kind { kMissing, kDirectory, kOther };

Kind KindOf(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(TarvFile::WindowsPath(FsPath(path)).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return Kind::kMissing;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? Kind::kDirectory : Kind::kOther;
}

// A drive root ("C:") or nothing at all: there is no folder to make.
bool IsRoot(const std::wstring& path) {
  return path.empty() || (path.size() == 2 && path[1] == L':');
}

}  // namespace

uint32_t MonotonicMilliseconds() { return static_cast<uint32_t>(GetTickCount64()); }

bool MakeDirectory(const std::wstring& path_in) {
  if (path_in.empty()) return false;
  std::wstring path = path_in;
  if (IsSeparator(path.back())) path.pop_back();
  if (IsRoot(path)) return KindOf(path + L"\\") == Kind::kDirectory;
  switch (KindOf(path)) {
    case Kind::kDirectory:
      return true;
    case Kind::kOther:
      errno = EEXIST;
      return false;
    case Kind::kMissing:
      break;
  }
  size_t last = path.find_last_of(L"\\/");
  if (last != std::wstring::npos && last != 0 && !MakeDirectory(path.substr(0, last))) return false;
  if (!CreateDirectoryW(TarvFile::WindowsPath(FsPath(path)).c_str(), nullptr)) {
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS && KindOf(path) == Kind::kDirectory)
      return true;  // made meanwhile
    SystemLogA("MakeDirectory> CreateDirectoryW returned err %lu", error);
    errno = TarvFile::ErrnoFromWindows(error);
    return false;
  }
  return true;
}

bool DeleteDirectoryTree(const std::wstring& directory) {
  const std::string fs = FsPath(directory);
  const std::wstring wide = TarvFile::WindowsPath(fs);
  // A link or junction at the folder's own name is never followed: the files
  // of the folder it points to are not this tree's.
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return TarvFile::Failed();
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    errno = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? ELOOP : ENOTDIR;
    return false;
  }
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileExW((wide + L"\\*").c_str(), FindExInfoBasic, &entry,
                                 FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE) return TarvFile::Failed();
  std::vector<WIN32_FIND_DATAW> entries;
  do {
    const std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") entries.push_back(entry);
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  for (const WIN32_FIND_DATAW& e : entries) {
    const std::string child = fs + "/" + TarvFile::FromWindowsName(e.cFileName);
    const bool folder = (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool link = (e.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (e.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
      SetFileAttributesW(TarvFile::WindowsPath(child).c_str(),
                         e.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
    if (folder && !link) {
      if (!DeleteDirectoryTree(FromFsPath(child))) return false;
    } else if (folder) {
      RemoveDirectoryW(TarvFile::WindowsPath(child).c_str());  // the link goes, its target stays
    } else {
      TarvFile::Unlink(child);
    }
  }
  return RemoveDirectoryW(wide.c_str()) || TarvFile::Failed();
}

DataBufferResult QueryFileSize(const std::wstring& path, uint64_t& size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(TarvFile::WindowsPath(FsPath(path)).c_str(), GetFileExInfoStandard,
                            &data)) {
    size = 0;
    return DB_IO_ERROR;
  }
  size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return DB_OK;
}

bool RemoveFile(const std::wstring& path) { return TarvFile::Unlink(FsPath(path)); }

bool RenameFile(const std::wstring& from, const std::wstring& to) {
  if (!TarvFile::PassesFaultSeam(TarvFile::Call::kRename)) return false;
  // Without MOVEFILE_REPLACE_EXISTING the move fails on an existing target.
  return MoveFileExW(TarvFile::WindowsPath(FsPath(from)).c_str(),
                     TarvFile::WindowsPath(FsPath(to)).c_str(),
                     MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH) ||
         TarvFile::Failed();
}

}  // namespace TarvUtil
