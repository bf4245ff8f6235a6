// Windows side of the temporary folder: %TEMP% when set, otherwise the
// folder GetTempPathW names, which is the user's own (below the profile)
// unless an administrator moved it.
#include <windows.h>

#include <cwchar>
#include <string>

#include "data/file_util.h"
#include "os/temp_folder.h"

namespace TarvUtil {
namespace {

std::wstring Variable(const wchar_t* name) {
  wchar_t buffer[32768];
  DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
  return length > 0 && length < 32768 ? std::wstring(buffer, length) : std::wstring();
}

std::wstring SystemTempPath() {
  wchar_t buffer[MAX_PATH + 2];
  DWORD length = GetTempPathW(MAX_PATH + 2, buffer);
  if (length == 0 || length > MAX_PATH + 1) return L"C:\\temp";
  std::wstring path(buffer, length);
  while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  return path;
}

}  // namespace

std::wstring TempFolderPath() {
  if (std::wstring session = SessionTempFolder(); !session.empty()) return session;
  std::wstring temp = Variable(L"TEMP");
  if (!temp.empty()) return temp;
  return SystemTempPath();
}

bool EnsureTempFolder(std::wstring* folder) {
  std::wstring path = TempFolderPath();
  if (!MakeDirectory(path)) return false;
  if (folder) *folder = path;
  return true;
}

}  // namespace TarvUtil
