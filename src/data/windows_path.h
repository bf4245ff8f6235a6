// What the Windows side of the file layer shares: paths in the system's
// form and the system's errors as errno values. Used only by the *_win.cpp
// files of this folder; declared without Windows headers so that the rest
// of the tree stays free of them.
#pragma once

#include <string>

namespace TarvFile {

// A file-system path (UTF-8, "/" or "\" separated) as Windows file calls
// take it: UTF-16, "\" separated, and absolute paths prefixed with "\\?\"
// so that they may be longer than MAX_PATH.
std::wstring WindowsPath(const std::string& path);

// A name read from the system back in the file-system form (UTF-8).
std::string FromWindowsName(const std::wstring& name);

// The errno value closest to a Windows error code (GetLastError); a file
// that another program holds open is EBUSY, the file-in-use case.
int ErrnoFromWindows(unsigned long error);

// Sets errno from GetLastError() and returns false, for `return Failed();`.
bool Failed();

}  // namespace TarvFile
