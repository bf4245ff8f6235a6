// The game's application lock: a lock named after a folder of the
// installation that every program using the installation holds, shared when
// it only reads the files, exclusively when it needs them to itself. An
// exclusive open fails while any other process holds the lock, and a shared
// open fails while another process holds it exclusively. The process holds
// at most one such lock; the functions may be called from any thread. On
// Windows it is the game's own named mutex (an exclusive open gives it an
// empty DACL); on Linux a file lock of the same name.
#pragma once

#include <string>

namespace TarvUtil {

// Takes the lock of `folder`, shared or exclusive, without waiting. True when
// this process now holds it; false when another process holds it in a
// conflicting mode or the lock file cannot be opened. When a lock is already
// held the folder is not looked at again: true at once, except that asking
// for exclusive access while holding a shared lock is a programming error
// that ends the program through AssertFailed.
bool OpenApplicationMutex(const std::wstring& folder, bool exclusive);

// Releases the held lock, if any.
void CloseApplicationMutex();

// The lock's name for a folder: "TARV_" and the folder's 8-bit form in lower
// case, with every character other than A-Z, a-z, 0-9, "-", "." and "_" as
// "_", and no trailing separator. C:\Games\Tarv\Binaries gives
// TARV_c__games_tarv_binaries.
std::string ApplicationMutexName(const std::wstring& folder);

// The lock file's name for a lock name: the name itself when it fits a file
// name (255 bytes); a longer one (a deep installation folder) keeps its
// first 238 bytes, then "~" and the 16 lower-case hexadecimal digits of the
// 64-bit FNV-1a hash of the whole name, so that long names stay distinct.
std::string ApplicationMutexFileName(const std::string& name);

// Where the lock files live: /dev/shm, or /tmp where that is missing. The
// same for every user, so that all programs of an installation meet there.
// Empty on Windows, where the lock is a named kernel mutex of the session.
std::string ApplicationMutexDirectory();

}  // namespace TarvUtil
