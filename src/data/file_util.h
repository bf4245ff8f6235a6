// File-system helpers shared by the session, the download and the file
// buffer: joining and converting paths, folders with their parents, tree
// removal, temporary names, and single-file operations. Paths are wide
// strings; both `\` and `/` separate folders. File calls use the UTF-8 form
// of a path (FsPath). None of these throws; each reports by its result.
#pragma once

#include <cstdint>
#include <string>

#include "data/data_buffer.h"

namespace TarvUtil {

// base + relative with exactly one separator between them: leading
// separators of `relative` are dropped, and "/" is inserted unless `base`
// already ends with one. An empty base gives `relative` unchanged.
std::wstring JoinPath(const std::wstring& base, const std::wstring& relative);

// Turns every `\` and `/` of the path into `separator`.
void NormalizeSeparators(std::wstring& path, wchar_t separator);

// The fixed wide-to-8-bit table (printable ASCII, tab, line breaks, a few
// Windows-1252 punctuation marks); every other character becomes '?'. Used
// where a name must be the same on every system (the game's application lock,
// the uninstaller's log).
std::string ToNarrow(const std::wstring& text);
// The reverse of ToNarrow for bytes found on disk; bytes outside the table
// become characters that ToNarrow turns into '?'.
std::wstring ToWide(const std::string& text);

// The form of a path that Linux file calls take: separators as "/", text as
// UTF-8. FromFsPath is its reverse for names read from disk.
std::string FsPath(const std::wstring& path);
std::wstring FromFsPath(const std::string& path);

// Creates the folder and every missing parent. False when the path is empty,
// names something that is not a folder (errno EEXIST), or a folder cannot be
// created (logged to the system log).
bool MakeDirectory(const std::wstring& path);

// Deletes everything below the folder, then the folder. Links are removed as
// links and never followed. A file that cannot be deleted is passed over, but
// then its folder stays and the result is false; a subfolder that cannot be
// removed stops the walk.
bool DeleteDirectoryTree(const std::wstring& directory);

// directory joined with "file<N>", N a process-wide counter that starts at
// the monotonic clock in milliseconds and rises by one per name. The file is
// not created.
std::wstring MakeTempFilePath(const std::wstring& directory);

// DB_OK and the size of the file, or DB_IO_ERROR and 0 when it cannot be
// examined.
DataBufferResult QueryFileSize(const std::wstring& path, uint64_t& size);

// Milliseconds of the monotonic clock (wraps after 49 days, like a tick
// count).
uint32_t MonotonicMilliseconds();

// Deletes one file (a link as a link).
bool RemoveFile(const std::wstring& path);

// Renames or moves one file; fails when the target exists.
bool RenameFile(const std::wstring& from, const std::wstring& to);

}  // namespace TarvUtil
