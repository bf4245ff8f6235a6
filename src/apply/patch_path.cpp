#include "apply/patch_path.h"

#include "data/file_util.h"

namespace TarvPatch {

EntryPath SplitEntryPath(const std::wstring& relative) {
  std::wstring rest = relative;
  if (rest.size() >= 2 && rest[1] == L':' &&
      ((rest[0] >= L'A' && rest[0] <= L'Z') || (rest[0] >= L'a' && rest[0] <= L'z'))) {
    rest.erase(0, 2);
  }
  std::vector<std::wstring> parts;
  std::wstring current;
  for (wchar_t c : rest) {
    if (c == L'\\' || c == L'/') {
      if (!current.empty()) parts.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  EntryPath out;
  out.name = current;  // empty when the path ends with a separator
  out.dirs = std::move(parts);
  return out;
}

bool IsSafeEntryPath(const EntryPath& path) {
  if (path.name.empty() || path.name == L"." || path.name == L"..") return false;
  for (const auto& dir : path.dirs) {
    if (dir == L"..") return false;
  }
  return true;
}

std::wstring EntryDirectory(const std::wstring& base, const EntryPath& path) {
  std::wstring dir = base;
  for (const auto& d : path.dirs) dir = TarvUtil::JoinPath(dir, d);
  return dir;
}

std::wstring JoinEntryPath(const std::wstring& base, const EntryPath& path,
                           const std::wstring& suffix) {
  return TarvUtil::JoinPath(EntryDirectory(base, path), path.name + suffix);
}

}  // namespace TarvPatch
