// How a list entry's relative path becomes a path under a base folder: `\`
// and `/` both separate, a drive ("C:") or root part is dropped, empty
// components are skipped. An entry that would leave the base folder (a ".."
// component) or names no file is unsafe and is never used. Pure functions.
#pragma once

#include <string>
#include <vector>

namespace TarvPatch {

struct EntryPath {
  std::vector<std::wstring> dirs;  // folder components, outermost first
  std::wstring name;               // the file name with its extension
};

EntryPath SplitEntryPath(const std::wstring& relative);

// True when the entry stays below its base folder and names a file.
bool IsSafeEntryPath(const EntryPath& path);

// base, the folders, the name + suffix, joined with "/".
std::wstring JoinEntryPath(const std::wstring& base, const EntryPath& path,
                           const std::wstring& suffix = L"");

// base and the folders: the folder that holds the entry's file.
std::wstring EntryDirectory(const std::wstring& base, const EntryPath& path);

}  // namespace TarvPatch
