// Single-file operations of the applier on Linux: kind tests that never
// follow a link, a copy that replaces its target by rename (so a link at the
// target's name is replaced, never written through), and renames that
// replace. Each reports by its boolean result; none throws.
#pragma once

#include <string>

namespace TarvPatch {

enum class FileKind { kMissing, kRegular, kDirectory, kOther };

// The kind of the path itself (a link is kOther).
FileKind KindOfPath(const std::wstring& path);
// True when the path is a folder, following links as any file call would.
bool IsDirectory(const std::wstring& path);

// Copies the regular file `source` to `target` through a temporary file in
// the target's folder, flushed and renamed over the target. The source must
// be a regular file itself, not a link. On failure the target is untouched.
bool CopyFileReplacing(const std::wstring& source, const std::wstring& target);

// Renames `from` to `to`, replacing a file of that name.
bool RenameReplacing(const std::wstring& from, const std::wstring& to);

}  // namespace TarvPatch
