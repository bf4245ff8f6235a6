// Path conversion and error mapping for the Windows file layer.
#include <windows.h>

#include <cerrno>

#include "data/windows_path.h"

namespace TarvFile {
namespace {

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

bool IsDriveAbsolute(const std::wstring& p) {
  return p.size() >= 3 && p[1] == L':' && p[2] == L'\\' &&
         ((p[0] >= L'A' && p[0] <= L'Z') || (p[0] >= L'a' && p[0] <= L'z'));
}

}  // namespace

std::wstring WindowsPath(const std::string& path) {
  std::wstring wide = Widen(path);
  for (wchar_t& c : wide)
    if (c == L'/') c = L'\\';
  if (wide.rfind(L"\\\\?\\", 0) == 0 || wide.rfind(L"\\\\.\\", 0) == 0) return wide;
  // The long-path form takes no "." or ".." and no doubled separators; only
  // plain absolute paths get it, the rest stay as the system parses them.
  const bool plain =
      wide.find(L"\\.") == std::wstring::npos && wide.find(L"\\\\", 1) == std::wstring::npos;
  if (IsDriveAbsolute(wide) && plain) return L"\\\\?\\" + wide;
  if (wide.rfind(L"\\\\", 0) == 0 && plain) return L"\\\\?\\UNC\\" + wide.substr(2);
  return wide;
}

std::string FromWindowsName(const std::wstring& name) {
  if (name.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

int ErrnoFromWindows(unsigned long error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return ENOENT;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
      return EBUSY;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
      return ENOSYS;
    case ERROR_CANT_RESOLVE_FILENAME:
      return ELOOP;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
      return EINVAL;
    default:
      return EIO;
  }
}

bool Failed() {
  errno = ErrnoFromWindows(GetLastError());
  return false;
}

}  // namespace TarvFile
