// The session's own folder inside the temporary folder. Made by mkdtemp
// (mode 0700, a name nobody can guess), it holds the session's archives and
// work folders, so that nothing another account plants in a shared
// temporary folder is ever opened, written through or removed. The owner
// (the session's worker) removes it whole on every way out; an abrupt end of
// the process removes it through RemoveSessionFoldersNow. One owner thread
// per object; RemoveSessionFoldersNow is safe from any thread. On Windows
// "mode 0700/0600" below is a protected DACL for this user and the system.
#pragma once

#include <string>

namespace TarvUtil {

class SessionFolder {
 public:
  SessionFolder() = default;
  ~SessionFolder() { Remove(); }
  SessionFolder(const SessionFolder&) = delete;
  SessionFolder& operator=(const SessionFolder&) = delete;

  // Makes a fresh folder "tarv-XXXXXX" in `parent`, which must be a folder
  // (a link to one is followed, as for any folder the user names). False
  // when it cannot be made; nothing is then held.
  bool Create(const std::wstring& parent);
  bool IsCreated() const { return !m_path.empty(); }
  const std::wstring& Path() const { return m_path; }
  // Deletes the folder and everything in it (links as links); does nothing
  // when none is held.
  void Remove();

 private:
  std::wstring m_path;
};

// Removes every session folder this process still holds. For the way out
// that does not unwind the owners (the window closed during a session).
void RemoveSessionFoldersNow();

// Creates `path` as a new, empty regular file of mode 0600: never through a
// link, never over an existing name. False when it cannot.
bool CreateExclusiveFile(const std::wstring& path);

// Creates `path` as a new folder of mode 0700; an existing name (a folder or
// a link) makes it fail.
bool CreateExclusiveFolder(const std::wstring& path);

}  // namespace TarvUtil
