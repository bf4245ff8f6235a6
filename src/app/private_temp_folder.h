// A folder of its own for one window-less session, made inside the
// patcher's temporary folder and named to the session through TEMP, so that
// everything a session downloads or unpacks can be removed with it on every
// way out, a cancel included. Main thread.
#pragma once

#include <string>

namespace TarvPatch {

class PrivateTempFolder {
 public:
  PrivateTempFolder() = default;
  ~PrivateTempFolder() { Remove(); }
  PrivateTempFolder(const PrivateTempFolder&) = delete;
  PrivateTempFolder& operator=(const PrivateTempFolder&) = delete;

  // Makes the folder (mode 0700) and sets TEMP to it. REQUIRES: no other
  // thread runs yet (the environment is changed). False when it cannot be
  // made; TEMP is then left alone.
  bool Create();
  // Removes the folder with everything in it; nothing when none was made.
  void Remove();
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

}  // namespace TarvPatch
