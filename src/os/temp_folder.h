// The patcher's temporary folder, where the archive is downloaded and
// unpacked: $TEMP when it is set, otherwise a private folder
// <$TMPDIR or /tmp>/tarv-patcher-<uid> that only this user can enter, so that
// another user of a shared /tmp cannot plant links under the names the
// patcher is about to write. On Windows: %TEMP% when set, otherwise the
// folder GetTempPathW names (the user's own). Safe from any thread.
#pragma once

#include <string>

namespace TarvUtil {

// The folder's path, without looking at the disk.
std::wstring TempFolderPath();

// Points TempFolderPath (and so EnsureTempFolder) at `folder`, a folder the
// caller made for this process's sessions, without touching the environment
// that started programs inherit; an empty `folder` gives $TEMP and the
// private folder back.
void SetSessionTempFolder(const std::wstring& folder);
// The folder set above; empty when none is.
std::wstring SessionTempFolder();

// Makes sure the folder exists and returns its path in `folder`. $TEMP is
// created with missing parents. The private folder is created with mode
// 0700; an existing one must be a real folder (not a link) owned by this
// user, and is narrowed to 0700. False when the folder cannot be created or
// is refused; `folder` is then left alone.
bool EnsureTempFolder(std::wstring* folder);

}  // namespace TarvUtil
