// Single-file operations of the applier on Linux: kind tests that never
// follow a link, and a copy that replaces its target by rename (so a link at the
// target's name is replaced, never written through). Each reports by its
// boolean result; none throws.
#pragma once

#include <functional>
#include <string>

namespace TarvPatch {

enum class FileKind { kMissing, kRegular, kDirectory, kOther };

// The kind of the path itself (a link is kOther).
FileKind KindOfPath(const std::wstring& path);
// True when the path is a folder, following links as any file call would.
bool IsDirectory(const std::wstring& path);

// Copies the regular file `source` to `target` through a temporary file in
// the target's folder, or at `temp_path` when one is given, and renamed over
// the target. The source must be a regular file itself, not a link. Without
// `temp_path` the copy is flushed (file and folder) before it replaces the
// target; with it, nothing is flushed: the caller's patch step makes the
// whole file system durable once. With `digest_check`, the complete
// temporary copy must pass it (given the copy's path) before it replaces the
// target. The target is untouched unless the copy succeeds; a failed
// temporary copy is removed.
bool CopyFileReplacing(const std::wstring& source, const std::wstring& target,
                       const std::wstring& temp_path = L"",
                       const std::function<bool(const std::wstring& copy)>& digest_check = {});

}  // namespace TarvPatch
